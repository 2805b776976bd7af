// Authenticode signature checks of companion files (Win32-only).
//
// The trust check asks WinVerifyTrust about the file and then reads the
// signer's details out of the embedded PKCS #7 signature; the embedded-signer
// check only reads the signer certificate. Both read the signature the same
// way: CryptQueryObject for the store and message, CMSG_SIGNER_INFO_PARAM for
// the signer, CertFindCertificateInStore by issuer and serial number.
#include "support/signature.h"

#include "support/win32.h"
#include "support/win32_handles.h"

#include <shlwapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>
#include <optional>
#include <span>
#include <string>

#include "support/der_scan.h"
#include "support/diag_log.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Longest path the checks accept, in characters.
constexpr size_t kMaxPathChars = 260;
// Longest text kept in a record or copied to a caller's buffer (the buffers
// hold kSignatureTextChars characters with the terminator).
constexpr size_t kMaxTextChars = kSignatureTextChars - 1;

// Subjects accepted by the trust check, and by the embedded-signer check.
constexpr const wchar_t* kTrustedMakerNames[] = {L"Quonmark Computer Inc.",
                                                 L"QUONMARK COMPUTER INCORPORATION"};
constexpr const wchar_t* kEmbeddedMakerName = L"QUONMARK COMPUTER INC.";

constexpr const wchar_t* kInstallSubfolder = L"\\QUON\\CORVANE KIOSK Lite Service\\Pelorus";

// What the trust check reads about a signed file. A field the signature does
// not carry, or that cannot be read, stays empty.
struct SignatureInfo {
  LONG status = 0;  // the WinVerifyTrust result when verification failed
  std::wstring subjectName;
  std::wstring subjectEmail;
  std::wstring subjectUrl;
  std::wstring issuerName;
  std::wstring issuerFriendlyName;
  std::wstring programName;
  std::wstring publisherLink;
  std::wstring moreInfoLink;
  std::wstring serialNumber;
  std::wstring timeStampText;
  bool timeStampPresent = false;
  SYSTEMTIME timeStamp{};  // local time
};

bool EqualsIgnoringCase(const std::wstring& a, const wchar_t* b) {
  return CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

std::wstring Truncated(const wchar_t* text) {
  if (text == nullptr) return {};
  return std::wstring(text, wcsnlen(text, kMaxTextChars));
}

// Wide text in the system ANSI code page, for the narrow diagnostics.
std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<size_t>(size) - 1);
  return out;
}

// The embedded-signer check's diagnostics on standard output.
void Print(const char* format, ...) PELORUS_PRINTF_LIKE(1, 2);
void Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

// Memory from LocalAlloc filled by a two-call Win32 query (size, then data).
struct QueryResult {
  unique_hlocal memory;
  DWORD error = 0;  // the last error of the failed call
  bool outOfMemory = false;

  explicit operator bool() const { return static_cast<bool>(memory); }
  template <class T>
  const T* As() const {
    return static_cast<const T*>(memory.get());
  }
};

template <class Fill>
QueryResult QueryIntoLocalMemory(Fill fill) {
  QueryResult result;
  DWORD size = 0;
  if (!fill(nullptr, &size)) {
    result.error = GetLastError();
    return result;
  }
  unique_hlocal memory(LocalAlloc(LPTR, size));
  if (!memory) {
    result.outOfMemory = true;
    return result;
  }
  if (!fill(memory.get(), &size)) {
    result.error = GetLastError();
    return result;
  }
  result.memory = std::move(memory);
  return result;
}

QueryResult GetSignerInfo(HCRYPTMSG message) {
  return QueryIntoLocalMemory([message](void* data, DWORD* size) {
    return CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, data, size) != FALSE;
  });
}

QueryResult Decode(LPCSTR structType, const CRYPT_ATTR_BLOB& blob) {
  return QueryIntoLocalMemory([&](void* data, DWORD* size) {
    return CryptDecodeObject(kEncoding, structType, blob.pbData, blob.cbData, 0, data, size) !=
           FALSE;
  });
}

// The first attribute with the object identifier `oid` that has a value.
const CRYPT_ATTRIBUTE* FindAttribute(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
  for (DWORD i = 0; i < attributes.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
    if (attribute.pszObjId != nullptr && std::strcmp(attribute.pszObjId, oid) == 0 &&
        attribute.cValue > 0) {
      return &attribute;
    }
  }
  return nullptr;
}

struct SignedFile {
  unique_hcertstore store;
  unique_hcryptmsg message;
};

// The certificate store and message of the file's embedded PKCS #7 signature.
std::optional<SignedFile> OpenEmbeddedSignature(const wchar_t* path) {
  SignedFile file;
  DWORD encoding = 0;
  DWORD contentType = 0;
  DWORD formatType = 0;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                        CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType,
                        file.store.put(), file.message.put(), nullptr)) {
    return std::nullopt;
  }
  return file;
}

unique_cert_context FindCertificate(HCERTSTORE store, const CERT_NAME_BLOB& issuer,
                                    const CRYPT_INTEGER_BLOB& serialNumber) {
  CERT_INFO wanted{};
  wanted.Issuer = issuer;
  wanted.SerialNumber = serialNumber;
  return unique_cert_context(
      CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
}

// One name of the certificate; nullopt when it cannot be read.
std::optional<std::wstring> CertificateName(PCCERT_CONTEXT cert, DWORD type, DWORD flags) {
  DWORD size = CertGetNameStringW(cert, type, flags, nullptr, nullptr, 0);
  if (size == 0) return std::nullopt;
  std::wstring name(size, L'\0');
  size = CertGetNameStringW(cert, type, flags, nullptr, name.data(), size);
  if (size == 0) return std::nullopt;
  name.resize(wcsnlen(name.c_str(), size));
  return name;
}

// Serial number as upper-case hexadecimal, most significant byte first (the
// blob holds it least significant first).
std::wstring SerialNumberText(const CRYPT_INTEGER_BLOB& serial) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text;
  for (DWORD i = serial.cbData; i > 0; --i) {
    const BYTE b = serial.pbData[i - 1];
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0F]);
  }
  return text;
}

std::wstring LinkText(const SPC_LINK* link) {
  if (link == nullptr) return {};
  switch (link->dwLinkChoice) {
    case SPC_URL_LINK_CHOICE:
      return Truncated(link->pwszUrl);
    case SPC_FILE_LINK_CHOICE:
      return Truncated(link->pwszFile);
    default:
      return {};
  }
}

std::optional<SYSTEMTIME> LocalTime(const FILETIME& utc) {
  SYSTEMTIME utcTime{};
  SYSTEMTIME local{};
  if (!FileTimeToSystemTime(&utc, &utcTime) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utcTime, &local)) {
    return std::nullopt;
  }
  return local;
}

// The signing time among the counter-signer's authenticated attributes.
std::optional<FILETIME> SigningTime(const CMSG_SIGNER_INFO& counterSigner) {
  const CRYPT_ATTRIBUTE* attribute = FindAttribute(counterSigner.AuthAttrs, szOID_RSA_signingTime);
  if (attribute == nullptr) return std::nullopt;
  FILETIME time{};
  DWORD size = sizeof(time);
  if (!CryptDecodeObject(kEncoding, szOID_RSA_signingTime, attribute->rgValue[0].pbData,
                         attribute->rgValue[0].cbData, 0, &time, &size)) {
    return std::nullopt;
  }
  return time;
}

// The local time of a PKCS #9 counter-signature attribute.
std::optional<SYSTEMTIME> CounterSignatureTime(const CRYPT_ATTRIBUTE& attribute) {
  QueryResult counterSigner = Decode(PKCS7_SIGNER_INFO, attribute.rgValue[0]);
  if (!counterSigner) return std::nullopt;
  std::optional<FILETIME> time = SigningTime(*counterSigner.As<CMSG_SIGNER_INFO>());
  if (!time) return std::nullopt;
  return LocalTime(*time);
}

// The local time of an RFC 3161 time-stamp token attribute.
std::optional<SYSTEMTIME> TokenTime(const CRYPT_ATTRIBUTE& attribute) {
  const CRYPT_ATTR_BLOB& value = attribute.rgValue[0];
  std::optional<DerTime> time = ReadTimeStampTokenTime(std::span(value.pbData, value.cbData));
  if (!time) return std::nullopt;
  SYSTEMTIME utc{};
  utc.wYear = static_cast<WORD>(time->year);
  utc.wMonth = static_cast<WORD>(time->month);
  utc.wDay = static_cast<WORD>(time->day);
  utc.wHour = static_cast<WORD>(time->hour);
  utc.wMinute = static_cast<WORD>(time->minute);
  utc.wSecond = static_cast<WORD>(time->second);
  utc.wMilliseconds = static_cast<WORD>(time->milliseconds);
  FILETIME fileTime{};
  // Also refuses dates that do not exist (a 31st of February).
  if (!SystemTimeToFileTime(&utc, &fileTime)) return std::nullopt;
  return LocalTime(fileTime);
}

// The first time stamp among the signer's unauthenticated attributes, of
// either kind, in attribute order.
std::optional<SYSTEMTIME> TimeStamp(const CMSG_SIGNER_INFO& signer) {
  for (DWORD i = 0; i < signer.UnauthAttrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = signer.UnauthAttrs.rgAttr[i];
    if (attribute.pszObjId == nullptr || attribute.cValue == 0) continue;
    std::optional<SYSTEMTIME> time;
    if (std::strcmp(attribute.pszObjId, szOID_RSA_counterSign) == 0) {
      time = CounterSignatureTime(attribute);
    } else if (std::strcmp(attribute.pszObjId, szOID_RFC3161_counterSign) == 0) {
      time = TokenTime(attribute);
    }
    if (time) return time;
  }
  return std::nullopt;
}

std::wstring TimeStampText(const SYSTEMTIME& t) {
  wchar_t text[kSignatureTextChars];
  std::swprintf(text, kSignatureTextChars, L"%04d/%02d/%02d %02d:%02d:%02d", t.wYear, t.wMonth,
                t.wDay, t.wHour, t.wMinute, t.wSecond);
  return text;
}

// Reads the signer's details out of the embedded signature; false when the
// signature cannot be opened. Parts that cannot be read stay empty.
bool ReadDetails(const wchar_t* path, SignatureInfo* info) {
  std::optional<SignedFile> file = OpenEmbeddedSignature(path);
  if (!file) return false;
  QueryResult signerInfo = GetSignerInfo(file->message.get());
  // The signature opened: that is what the check requires; the details
  // that cannot be read stay empty.
  if (!signerInfo) return true;
  const CMSG_SIGNER_INFO& signer = *signerInfo.As<CMSG_SIGNER_INFO>();

  for (DWORD i = 0; i < signer.AuthAttrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = signer.AuthAttrs.rgAttr[i];
    if (attribute.pszObjId == nullptr || attribute.cValue == 0 ||
        std::strcmp(attribute.pszObjId, SPC_SP_OPUS_INFO_OBJID) != 0) {
      continue;
    }
    if (QueryResult decoded = Decode(SPC_SP_OPUS_INFO_OBJID, attribute.rgValue[0])) {
      const SPC_SP_OPUS_INFO& opus = *decoded.As<SPC_SP_OPUS_INFO>();
      info->programName = Truncated(opus.pwszProgramName);
      info->publisherLink = LinkText(opus.pPublisherInfo);
      info->moreInfoLink = LinkText(opus.pMoreInfo);
    }
  }

  if (unique_cert_context cert =
          FindCertificate(file->store.get(), signer.Issuer, signer.SerialNumber)) {
    info->serialNumber = SerialNumberText(cert.get()->pCertInfo->SerialNumber);
    auto name = [&](DWORD type, DWORD flags) {
      return CertificateName(cert.get(), type, flags).value_or(std::wstring());
    };
    info->subjectName = name(CERT_NAME_SIMPLE_DISPLAY_TYPE, 0);
    info->subjectEmail = name(CERT_NAME_EMAIL_TYPE, 0);
    info->subjectUrl = name(CERT_NAME_URL_TYPE, 0);
    info->issuerName = name(CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG);
    info->issuerFriendlyName = name(CERT_NAME_FRIENDLY_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG);
  }

  if (std::optional<SYSTEMTIME> time = TimeStamp(signer)) {
    info->timeStampPresent = true;
    info->timeStamp = *time;
    std::wstring text = TimeStampText(*time);
    if (!text.empty()) info->timeStampText = std::move(text);
  }
  return true;
}

// Strips a leading "\??\" and checks the length; nullopt when nothing usable is left.
std::optional<std::wstring> TrustCheckPath(const wchar_t* path) {
  if (path == nullptr || *path == L'\0') return std::nullopt;
  if (CompareStringOrdinal(path, static_cast<int>(wcsnlen(path, 4)), L"\\??\\", 4, TRUE) ==
      CSTR_EQUAL) {
    path += 4;
  }
  const size_t length = wcsnlen(path, kMaxPathChars + 1);
  if (length == 0 || length > kMaxPathChars) return std::nullopt;
  return std::wstring(path, length);
}

// The trust check: true when the file is trusted and its signature could be
// read into `info`.
bool TrustCheck(const wchar_t* path, SignatureInfo* info) {
  if (path == nullptr || !PathFileExistsW(path)) return false;
  *info = SignatureInfo();
  std::optional<std::wstring> checked = TrustCheckPath(path);
  if (!checked) return false;
  const LONG status = VerifyTrust(*checked);
  if (status != 0) {
    info->status = status;
    return false;
  }
  return ReadDetails(checked->c_str(), info);
}

void CopyOut(wchar_t* out, const std::wstring& text) {
  if (out == nullptr) return;
  const size_t n = text.size() < kMaxTextChars ? text.size() : kMaxTextChars;
  wmemcpy(out, text.c_str(), n);
  out[n] = L'\0';
}

// --- The embedded-signer check's diagnostics ---

void PrintProgramAndPublisher(const CMSG_SIGNER_INFO& signer) {
  const CRYPT_ATTRIBUTE* opus = FindAttribute(signer.AuthAttrs, SPC_SP_OPUS_INFO_OBJID);
  if (opus == nullptr) return;
  QueryResult decoded = Decode(SPC_SP_OPUS_INFO_OBJID, opus->rgValue[0]);
  if (decoded.outOfMemory) {
    Print("Unable to allocate memory for Publisher Info.\n");
    return;
  }
  if (!decoded) {
    Print("CryptDecodeObject failed with %x\n", static_cast<unsigned>(decoded.error));
    return;
  }
  const SPC_SP_OPUS_INFO& info = *decoded.As<SPC_SP_OPUS_INFO>();
  if (info.pwszProgramName != nullptr) {
    Print("Program Name : %s\n", Narrow(Truncated(info.pwszProgramName)).c_str());
  }
  const std::wstring publisher = LinkText(info.pPublisherInfo);
  if (!publisher.empty()) Print("Publisher Link : %s\n", Narrow(publisher).c_str());
  const std::wstring moreInfo = LinkText(info.pMoreInfo);
  if (!moreInfo.empty()) Print("MoreInfo Link : %s\n", Narrow(moreInfo).c_str());
}

// Reads one simple display name for the diagnostic log; logs why it failed.
std::optional<std::wstring> DisplayNameForLog(PCCERT_CONTEXT cert, DWORD flags,
                                              const char* outOfMemoryLine) {
  try {
    std::optional<std::wstring> name = CertificateName(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags);
    if (!name) dump_output_time(&SLog, "CertGetNameString failed.\n");
    return name;
  } catch (const std::bad_alloc&) {
    dump_output_time(&SLog, "%s", outOfMemoryLine);
    return std::nullopt;
  }
}

// Prints a certificate's serial number and logs its issuer and subject;
// returns the subject.
std::optional<std::wstring> PrintCertificateInfo(PCCERT_CONTEXT cert) {
  const CRYPT_INTEGER_BLOB& serial = cert->pCertInfo->SerialNumber;
  Print("Serial Number: ");
  for (DWORD i = serial.cbData; i > 0; --i)
    Print("%02x ", static_cast<unsigned>(serial.pbData[i - 1]));
  Print("\n");

  std::optional<std::wstring> issuer = DisplayNameForLog(
      cert, CERT_NAME_ISSUER_FLAG, "Unable to allocate memory for issuer name.\n");
  if (!issuer) return std::nullopt;
  dump_output_time(&SLog, "Issuer Name: %ls\n", issuer->c_str());

  std::optional<std::wstring> subject =
      DisplayNameForLog(cert, 0, "Unable to allocate memory for subject name.\n");
  if (!subject) return std::nullopt;
  dump_output_time(&SLog, "Subject Name: %ls\n", subject->c_str());
  return subject;
}

void PrintTimeStamp(HCERTSTORE store, const CMSG_SIGNER_INFO& signer) {
  const CRYPT_ATTRIBUTE* attribute = FindAttribute(signer.UnauthAttrs, szOID_RSA_counterSign);
  if (attribute == nullptr) return;
  QueryResult decoded = Decode(PKCS7_SIGNER_INFO, attribute->rgValue[0]);
  if (decoded.outOfMemory) {
    Print("Unable to allocate memory for timestamp info.\n");
    return;
  }
  if (!decoded) {
    Print("CryptDecodeObject failed with %x\n", static_cast<unsigned>(decoded.error));
    return;
  }
  const CMSG_SIGNER_INFO& counterSigner = *decoded.As<CMSG_SIGNER_INFO>();
  unique_cert_context cert =
      FindCertificate(store, counterSigner.Issuer, counterSigner.SerialNumber);
  if (!cert) {
    Print("CertFindCertificateInStore failed with %x\n", static_cast<unsigned>(GetLastError()));
    return;
  }
  Print("TimeStamp Certificate:\n\n");
  // The time-stamping authority's name does not decide anything.
  PrintCertificateInfo(cert.get());

  std::optional<FILETIME> time = SigningTime(counterSigner);
  if (!time) return;
  if (std::optional<SYSTEMTIME> local = LocalTime(*time)) {
    Print("Date of TimeStamp : %02d/%02d/%04d %02d:%02d\n", local->wMonth, local->wDay,
          local->wYear, local->wHour, local->wMinute);
  }
}

bool CheckEmbeddedSignerImpl(const wchar_t* path) {
  if (path == nullptr || *path == L'\0' || wcsnlen(path, kMaxPathChars + 1) > kMaxPathChars) {
    return false;
  }
  const std::wstring copy(path);
  std::optional<SignedFile> file = OpenEmbeddedSignature(copy.c_str());
  if (!file) {
    Print("CryptQueryObject failed with %x\n", static_cast<unsigned>(GetLastError()));
    return false;
  }
  QueryResult signerInfo = GetSignerInfo(file->message.get());
  if (signerInfo.outOfMemory) {
    Print("Unable to allocate memory for Signer Info.\n");
    return false;
  }
  if (!signerInfo) {
    Print("CryptMsgGetParam failed with %x\n", static_cast<unsigned>(signerInfo.error));
    return false;
  }
  const CMSG_SIGNER_INFO& signer = *signerInfo.As<CMSG_SIGNER_INFO>();

  PrintProgramAndPublisher(signer);

  unique_cert_context cert = FindCertificate(file->store.get(), signer.Issuer, signer.SerialNumber);
  if (!cert) {
    Print("CertFindCertificateInStore failed with %x\n", static_cast<unsigned>(GetLastError()));
    return false;
  }
  Print("Signer Certificate:\n\n");
  std::optional<std::wstring> subject = PrintCertificateInfo(cert.get());
  const bool result = subject && EqualsIgnoringCase(*subject, kEmbeddedMakerName);

  PrintTimeStamp(file->store.get(), signer);
  return result;
}

}  // namespace

LONG VerifyTrust(const std::wstring& path) {
  WINTRUST_FILE_INFO fileInfo{};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = path.c_str();
  fileInfo.hFile = nullptr;

  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  // Revocation data come from the local cache only: no network during a check.
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);
  const LONG status = WinVerifyTrust(noWindow, &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(noWindow, &action, &data);
  return status;
}

bool IsQuonSignature(BaseOrbPlugin* /*plugin*/, const wchar_t* path) {
  try {
    SignatureInfo info;
    if (!TrustCheck(path, &info)) return false;
    for (const wchar_t* name : kTrustedMakerNames) {
      if (EqualsIgnoringCase(info.subjectName, name)) return true;
    }
    return false;
  } catch (...) {
    return false;
  }
}

bool GetSignatureInfo(BaseOrbPlugin* /*plugin*/, const wchar_t* path, wchar_t* signer,
                      wchar_t* serial, wchar_t* timestamp) {
  try {
    SignatureInfo info;
    if (!TrustCheck(path, &info)) return false;
    CopyOut(signer, info.subjectName);
    CopyOut(serial, info.serialNumber);
    CopyOut(timestamp, info.timeStampText);
    return true;
  } catch (...) {
    return false;
  }
}

bool CheckEmbeddedSigner(const wchar_t* path) {
  try {
    return CheckEmbeddedSignerImpl(path);
  } catch (...) {
    return false;
  }
}

bool CheckEmbeddedSignerInInstallDir(const wchar_t* name, bool fullPath) {
  if (name == nullptr) return false;
  if (fullPath) return CheckEmbeddedSigner(name);
  try {
    // Read at every call: tests and installers may point it elsewhere.
    DWORD size = GetEnvironmentVariableW(L"ProgramFiles", nullptr, 0);
    if (size == 0) return false;
    std::wstring programFiles(size, L'\0');
    size = GetEnvironmentVariableW(L"ProgramFiles", programFiles.data(), size);
    if (size == 0 || size >= programFiles.size()) return false;
    programFiles.resize(size);
    const std::wstring path = programFiles + kInstallSubfolder + L"\\" + name;
    return CheckEmbeddedSigner(path.c_str());
  } catch (...) {
    return false;
  }
}
