// Signatures made by the build with the test PKI (cmake/Signing.cmake), read
// back with Windows' own verifier and message APIs: every signer short name
// yields a valid signature by the certificate with its subject name, time
// stamps are RFC 3161 counter-signatures, an unsigned file has no signature,
// and one changed byte breaks the digest.
//
// Windows and Wine differ on chain trust: Windows does not trust the test
// root (CERT_E_UNTRUSTEDROOT), Wine does not check the chain at all (success).
// Both are accepted for good signatures; the digest is checked by both.
#include "support/win32_handles.h"

#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr const char* kRfc3161CounterSignatureOid = "1.3.6.1.4.1.311.3.3.1";

std::wstring BesideThisProgram(const std::wstring& name) {
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

LONG VerifyTrust(const std::wstring& path) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path.c_str();
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return status;
}

struct EmbeddedSignature {
  bool present = false;
  std::wstring signer_name;  // the signing certificate's subject CN
  bool rfc3161_stamp = false;
};

EmbeddedSignature ReadSignature(const std::wstring& path) {
  EmbeddedSignature result;
  unique_hcertstore store;
  unique_hcryptmsg message;
  DWORD encoding = 0, content = 0, format = 0;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                        CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                        0, &encoding, &content, &format, store.put(), message.put(), nullptr)) {
    return result;
  }
  result.present = true;

  DWORD size = 0;
  if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) return result;
  std::vector<BYTE> buffer(size);
  if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) {
    return result;
  }
  const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());

  CERT_INFO id = {};
  id.Issuer = signer->Issuer;
  id.SerialNumber = signer->SerialNumber;
  unique_cert_context certificate(
      CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                 CERT_FIND_SUBJECT_CERT, &id, nullptr));
  if (certificate) {
    wchar_t name[256] = L"";
    CertGetNameStringW(certificate.get(), CERT_NAME_ATTR_TYPE, 0,
                       const_cast<char*>(szOID_COMMON_NAME), name, 256);
    result.signer_name = name;
  }
  for (DWORD i = 0; i < signer->UnauthAttrs.cAttr; ++i) {
    if (std::strcmp(signer->UnauthAttrs.rgAttr[i].pszObjId, kRfc3161CounterSignatureOid) == 0) {
      result.rfc3161_stamp = true;
    }
  }
  return result;
}

struct SignedCopy {
  const wchar_t* file;
  const wchar_t* signer_name;
  bool stamped;
};

// The signed copies of signing_sample.exe (tests/windows/CMakeLists.txt).
const SignedCopy kSignedCopies[] = {
    {L"signing_sample-quon.exe", L"Quonmark Computer Inc.", false},
    {L"signing_sample-quon-upper.exe", L"QUONMARK COMPUTER INCORPORATION", false},
    {L"signing_sample-quon-lower.exe", L"quonmark computer inc.", false},
    {L"signing_sample-quon-incorporated.exe", L"Quonmark Computer Incorporated", false},
    {L"signing_sample-cpuid-sarlu.exe", L"CPUID S.A.R.L.U.", false},
    {L"signing_sample-cpuid.exe", L"CPUID", false},
    {L"signing_sample-other.exe", L"Halvard Instruments Ltd.", false},
    {L"signing_sample-quon-expired.exe", L"Quonmark Computer Inc.", false},
    {L"signing_sample-quon-serial.exe", L"Quonmark Computer Inc.", false},
    {L"signing_sample-quon-ts.exe", L"Quonmark Computer Inc.", true},
    {L"signing_sample-quon-expired-ts.exe", L"Quonmark Computer Inc.", true},
};

// Test names and messages show the file.
void PrintTo(const SignedCopy& copy, std::ostream* out) {
  for (const wchar_t* c = copy.file; *c != L'\0'; ++c) *out << static_cast<char>(*c);
}

std::string CaseName(const ::testing::TestParamInfo<SignedCopy>& info) {
  std::string name;
  for (const wchar_t* c = info.param.file + std::wcslen(L"signing_sample-"); *c != L'.'; ++c) {
    name += std::iswalnum(*c) ? static_cast<char>(*c) : '_';
  }
  return name;
}

class SignedSample : public ::testing::TestWithParam<SignedCopy> {};

TEST_P(SignedSample, VerifiesAndNamesItsSigner) {
  const SignedCopy& copy = GetParam();
  const std::wstring path = BesideThisProgram(copy.file);
  const LONG status = VerifyTrust(path);
  // Chain trust differs between Windows and Wine (see the top); an expired
  // certificate without a stamp may also be reported on Windows.
  EXPECT_TRUE(status == ERROR_SUCCESS || status == CERT_E_UNTRUSTEDROOT || status == CERT_E_EXPIRED)
      << std::hex << status;

  const EmbeddedSignature signature = ReadSignature(path);
  ASSERT_TRUE(signature.present);
  EXPECT_EQ(signature.signer_name, copy.signer_name);
  EXPECT_EQ(signature.rfc3161_stamp, copy.stamped);
}

INSTANTIATE_TEST_SUITE_P(EverySigner, SignedSample, ::testing::ValuesIn(kSignedCopies), CaseName);

TEST(UnsignedSample, HasNoSignature) {
  const std::wstring path = BesideThisProgram(L"signing_sample.exe");
  EXPECT_EQ(VerifyTrust(path), TRUST_E_NOSIGNATURE);
  EXPECT_FALSE(ReadSignature(path).present);
}

// One byte of the first section changed after signing: the digest no longer
// matches, whatever the chain.
TEST(TamperedSample, FailsTheDigestCheck) {
  std::ifstream in(BesideThisProgram(L"signing_sample-quon.exe").c_str(), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), sizeof(IMAGE_DOS_HEADER));

  IMAGE_DOS_HEADER dos;
  std::memcpy(&dos, bytes.data(), sizeof(dos));
  IMAGE_FILE_HEADER header;
  const size_t file_header = static_cast<size_t>(dos.e_lfanew) + sizeof(DWORD);
  std::memcpy(&header, bytes.data() + file_header, sizeof(header));
  IMAGE_SECTION_HEADER first_section;
  std::memcpy(&first_section,
              bytes.data() + file_header + sizeof(header) + header.SizeOfOptionalHeader,
              sizeof(first_section));
  const size_t offset = first_section.PointerToRawData + 16;
  ASSERT_LT(offset, bytes.size());
  bytes[offset] = static_cast<char>(bytes[offset] ^ 0x5A);

  wchar_t folder[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
  const std::wstring path = std::wstring(folder) + L"pelorus-tampered-" +
                            std::to_wstring(GetCurrentProcessId()) + L".exe";
  {
    std::ofstream out(path.c_str(), std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  const LONG status = VerifyTrust(path);
  DeleteFileW(path.c_str());
  EXPECT_EQ(status, TRUST_E_BAD_DIGEST) << std::hex << status;
}

}  // namespace
