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

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

// --- Kept trust verdicts ---

using Sha256 = std::array<uint8_t, 32>;

// How long a verdict is reused, from its check (a reuse does not extend it).
constexpr ULONGLONG kVerdictLifeMs = 10ull * 60 * 1000;
// Paths kept at most; the oldest check goes first when a new path comes.
constexpr size_t kMaxVerdicts = 64;
// Larger files are checked every time and not kept.
constexpr ULONGLONG kMaxHashedBytes = 1ull << 30;

// What WinVerifyTrust and the certificate reading established about one
// file's bytes, and which bytes.
struct Verdict {
  Sha256 hash{};
  FileIdentity file;  // the file that was hashed
  ULONGLONG checkedAt = 0;
  HMODULE mappedBy = nullptr;  // a module confirmed to map that file
  LONG status = 0;
  bool detailsRead = false;
  std::wstring signer;
  std::wstring serial;
  std::wstring timestamp;
};

struct VerdictCache {
  std::mutex lock;
  std::map<std::wstring, Verdict> byPath;  // by upper-cased full path
};

VerdictCache& Verdicts() {
  static VerdictCache* cache = new VerdictCache();  // lives until the process ends
  return *cache;
}

// The cache key of a path: its full path, upper-cased (file names are not
// case-sensitive). Empty when it cannot be formed.
std::wstring VerdictKey(const std::wstring& path) {
  wchar_t full[kMaxPathChars + 1];
  const DWORD n = GetFullPathNameW(path.c_str(), kMaxPathChars + 1, full, nullptr);
  if (n == 0 || n > kMaxPathChars) return {};
  std::wstring key(full, n);
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, full, static_cast<int>(n), key.data(),
                    static_cast<int>(n), nullptr, nullptr, 0) != static_cast<int>(n)) {
    return {};
  }
  return key;
}

bool IdentityOf(HANDLE file, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  *identity = FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

BCRYPT_ALG_HANDLE Sha256Provider() {
  static unique_bcrypt_algorithm* provider = [] {
    auto* p = new unique_bcrypt_algorithm();
    BCryptOpenAlgorithmProvider(p->put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    return p;
  }();
  return provider->get();
}

// The SHA-256 of the whole file, read through `file` from its start.
std::optional<Sha256> HashFile(HANDLE file) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 ||
      static_cast<ULONGLONG>(size.QuadPart) > kMaxHashedBytes) {
    return std::nullopt;
  }
  BCRYPT_ALG_HANDLE algorithm = Sha256Provider();
  if (algorithm == nullptr) return std::nullopt;
  unique_bcrypt_hash hash;
  if (BCryptCreateHash(algorithm, hash.put(), nullptr, 0, nullptr, 0, 0) < 0) return std::nullopt;
  std::vector<uint8_t> chunk(256 * 1024);
  ULONGLONG offset = 0;
  for (;;) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &read, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return std::nullopt;
    }
    if (read == 0) break;
    if (BCryptHashData(hash.get(), chunk.data(), read, 0) < 0) return std::nullopt;
    offset += read;
    if (offset > kMaxHashedBytes) return std::nullopt;
  }
  Sha256 digest{};
  if (BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0) < 0) {
    return std::nullopt;
  }
  return digest;
}

Verdict FreshVerdict(const std::wstring& path, HANDLE file) {
  Verdict verdict;
  // WinVerifyTrust reads the file through the handle from where it stands.
  LARGE_INTEGER start{};
  SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
  verdict.status = VerifyTrust(path, file);
  if (verdict.status != 0) return verdict;
  SignatureInfo info;
  verdict.detailsRead = ReadDetails(path.c_str(), &info);
  verdict.signer = std::move(info.subjectName);
  verdict.serial = std::move(info.serialNumber);
  verdict.timestamp = std::move(info.timeStampText);
  return verdict;
}

// The verdict on the pinned file, kept or fresh. `loaded`: see IsQuonSignature.
Verdict CheckPinned(const PinnedFile& pin, HMODULE loaded) {
  const std::wstring key = VerdictKey(pin.Path());
  VerdictCache& cache = Verdicts();
  const ULONGLONG now = GetTickCount64();
  auto live = [&](const Verdict& v) { return now - v.checkedAt < kVerdictLifeMs; };

  if (loaded != nullptr && !key.empty()) {
    FileIdentity image;
    if (ModuleFileIdentity(loaded, &image) && image == pin.Identity()) {
      std::lock_guard<std::mutex> guard(cache.lock);
      auto it = cache.byPath.find(key);
      if (it != cache.byPath.end() && live(it->second) && it->second.mappedBy == loaded &&
          it->second.file == pin.Identity()) {
        return it->second;
      }
    }
  }

  std::optional<Sha256> hash = key.empty() ? std::nullopt : HashFile(pin.Handle());
  if (hash) {
    std::lock_guard<std::mutex> guard(cache.lock);
    auto it = cache.byPath.find(key);
    if (it != cache.byPath.end() && live(it->second) && it->second.hash == *hash) {
      Verdict kept = it->second;
      if (it->second.file != pin.Identity()) {
        // The same bytes in another file: no module maps this one yet.
        it->second.file = pin.Identity();
        it->second.mappedBy = nullptr;
      }
      return kept;
    }
  }

  Verdict verdict = FreshVerdict(pin.Path(), pin.Handle());
  if (!hash) return verdict;
  verdict.hash = *hash;
  verdict.file = pin.Identity();
  verdict.checkedAt = GetTickCount64();
  std::lock_guard<std::mutex> guard(cache.lock);
  if (cache.byPath.size() >= kMaxVerdicts && cache.byPath.find(key) == cache.byPath.end()) {
    auto oldest = cache.byPath.begin();
    for (auto it = cache.byPath.begin(); it != cache.byPath.end(); ++it) {
      if (it->second.checkedAt < oldest->second.checkedAt) oldest = it;
    }
    cache.byPath.erase(oldest);
  }
  cache.byPath[key] = verdict;
  return verdict;
}

// Notes that `module` maps the file the verdict for `path` was made on.
void NoteMapped(const std::wstring& path, const FileIdentity& file, HMODULE module) {
  const std::wstring key = VerdictKey(path);
  if (key.empty()) return;
  VerdictCache& cache = Verdicts();
  std::lock_guard<std::mutex> guard(cache.lock);
  auto it = cache.byPath.find(key);
  if (it != cache.byPath.end() && it->second.file == file) it->second.mappedBy = module;
}

// The trust check: the verdict when the file exists, could be pinned and is
// trusted with its signature read; `pin` keeps the file open on success.
std::optional<Verdict> TrustCheck(const wchar_t* path, PinnedFile* pin, HMODULE loaded) {
  if (path == nullptr || !PathFileExistsW(path)) return std::nullopt;
  std::optional<std::wstring> checked = TrustCheckPath(path);
  if (!checked) return std::nullopt;
  PinnedFile local;
  PinnedFile& held = pin != nullptr ? *pin : local;
  if (!held.Open(checked->c_str())) return std::nullopt;
  Verdict verdict = CheckPinned(held, loaded);
  if (verdict.status != 0 || !verdict.detailsRead) {
    held.Release();
    return std::nullopt;
  }
  return verdict;
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

bool CheckEmbeddedSignerImpl(const wchar_t* path, PinnedFile& pin) {
  if (path == nullptr || *path == L'\0' || wcsnlen(path, kMaxPathChars + 1) > kMaxPathChars) {
    return false;
  }
  const std::wstring copy(path);
  if (!pin.Open(copy.c_str())) {
    Print("CreateFile failed with %x\n", static_cast<unsigned>(GetLastError()));
    return false;
  }
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

bool PinnedFile::Open(const wchar_t* path) {
  Release();
  m_path.clear();
  if (path == nullptr) return false;
  unique_hfile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  FileIdentity identity;
  if (!file || !IdentityOf(file.get(), &identity)) return false;
  m_file = std::move(file);
  m_path = path;
  m_identity = identity;
  return true;
}

bool PinnedFile::ConfirmImage(HMODULE module) const {
  FileIdentity image;
  if (!Held() || module == nullptr || !ModuleFileIdentity(module, &image) || image != m_identity) {
    return false;
  }
  try {
    NoteMapped(m_path, m_identity, module);
  } catch (...) {
    // Only the reuse without hashing is lost.
  }
  return true;
}

bool PinnedFile::ConfirmProgram(HANDLE process) const {
  if (!Held() || process == nullptr) return false;
  wchar_t name[kMaxPathChars + 1];
  DWORD size = kMaxPathChars + 1;
  if (!QueryFullProcessImageNameW(process, 0, name, &size)) {
    // A program that has already ended cannot be told any more, nor stopped.
    return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  }
  FileIdentity program;
  return PathFileIdentity(name, &program) && program == m_identity;
}

bool ModuleFileIdentity(HMODULE module, FileIdentity* identity) {
  if (module == nullptr || identity == nullptr) return false;
  wchar_t name[kMaxPathChars + 1];
  const DWORD n = GetModuleFileNameW(module, name, kMaxPathChars + 1);
  if (n == 0 || n > kMaxPathChars) return false;
  return PathFileIdentity(name, identity);
}

bool PathFileIdentity(const wchar_t* path, FileIdentity* identity) {
  if (path == nullptr || identity == nullptr) return false;
  // No access to the data: a pinned file can still be opened so.
  unique_hfile file(CreateFileW(path, FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && IdentityOf(file.get(), identity);
}

bool IsCpuidSigner(const wchar_t* signer) {
  return signer != nullptr &&
         (std::wcscmp(signer, L"CPUID S.A.R.L.U.") == 0 || std::wcscmp(signer, L"CPUID") == 0);
}

void ForgetTrustVerdicts() {
  VerdictCache& cache = Verdicts();
  std::lock_guard<std::mutex> guard(cache.lock);
  cache.byPath.clear();
}

LONG VerifyTrust(const std::wstring& path, HANDLE file) {
  WINTRUST_FILE_INFO fileInfo{};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = path.c_str();
  fileInfo.hFile = file;

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

bool IsQuonSignature(BaseOrbPlugin* plugin, const wchar_t* path) {
  return IsQuonSignature(plugin, path, nullptr);
}

bool IsQuonSignature(BaseOrbPlugin* /*plugin*/, const wchar_t* path, PinnedFile* pin,
                     HMODULE loaded) {
  try {
    std::optional<Verdict> verdict = TrustCheck(path, pin, loaded);
    if (!verdict) return false;
    for (const wchar_t* name : kTrustedMakerNames) {
      if (EqualsIgnoringCase(verdict->signer, name)) return true;
    }
    if (pin != nullptr) pin->Release();
    return false;
  } catch (...) {
    if (pin != nullptr) pin->Release();
    return false;
  }
}

bool GetSignatureInfo(BaseOrbPlugin* plugin, const wchar_t* path, wchar_t* signer, wchar_t* serial,
                      wchar_t* timestamp) {
  return GetSignatureInfo(plugin, path, signer, serial, timestamp, nullptr);
}

bool GetSignatureInfo(BaseOrbPlugin* /*plugin*/, const wchar_t* path, wchar_t* signer,
                      wchar_t* serial, wchar_t* timestamp, PinnedFile* pin) {
  try {
    std::optional<Verdict> verdict = TrustCheck(path, pin, nullptr);
    if (!verdict) return false;
    CopyOut(signer, verdict->signer);
    CopyOut(serial, verdict->serial);
    CopyOut(timestamp, verdict->timestamp);
    return true;
  } catch (...) {
    if (pin != nullptr) pin->Release();
    return false;
  }
}

bool CheckEmbeddedSigner(const wchar_t* path) {
  return CheckEmbeddedSigner(path, nullptr);
}

bool CheckEmbeddedSigner(const wchar_t* path, PinnedFile* pin) {
  PinnedFile local;
  PinnedFile& held = pin != nullptr ? *pin : local;
  try {
    if (CheckEmbeddedSignerImpl(path, held)) return true;
  } catch (...) {
  }
  held.Release();
  return false;
}

bool CheckEmbeddedSignerInInstallDir(const wchar_t* name, bool fullPath) {
  return CheckEmbeddedSignerInInstallDir(name, fullPath, nullptr);
}

bool CheckEmbeddedSignerInInstallDir(const wchar_t* name, bool fullPath, PinnedFile* pin) {
  if (name == nullptr) return false;
  if (fullPath) return CheckEmbeddedSigner(name, pin);
  try {
    // Read at every call: tests and installers may point it elsewhere.
    DWORD size = GetEnvironmentVariableW(L"ProgramFiles", nullptr, 0);
    if (size == 0) return false;
    std::wstring programFiles(size, L'\0');
    size = GetEnvironmentVariableW(L"ProgramFiles", programFiles.data(), size);
    if (size == 0 || size >= programFiles.size()) return false;
    programFiles.resize(size);
    const std::wstring path = programFiles + kInstallSubfolder + L"\\" + name;
    return CheckEmbeddedSigner(path.c_str(), pin);
  } catch (...) {
    return false;
  }
}
