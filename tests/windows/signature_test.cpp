// The plug-in's signature checks against files signed by the test PKI
// (tests/windows/CMakeLists.txt): which signers each check accepts, what the
// trust check reads (signer, serial number, both kinds of time stamp), how a
// changed byte, a missing signature, the "\??\" prefix and a signer name
// longer than the buffers are treated, and the installation-folder lookup.
//
// Windows and Wine differ on chain trust: Wine's WinVerifyTrust checks the
// digest but not the chain, so the test root is trusted there; Windows
// rejects it (CERT_E_UNTRUSTEDROOT) unless it has been installed as a root.
// Cases that need a trusted signature are skipped when the chain is not
// trusted; the embedded-signer check and every rejection run everywhere.
#include <gtest/gtest.h>

#include "support/win32_handles.h"

#include <softpub.h>
#include <wintrust.h>

#include <cstring>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "machine_test_support.h"
#include "support/signature.h"

namespace {

using machine_test::ScopedEnvironment;
using machine_test::ScratchFolder;

std::wstring BesideThisProgram(const std::wstring& name) {
  return machine_test::BesideTest(name).wstring();
}

std::wstring Sample(const wchar_t* signer) {
  return BesideThisProgram(std::wstring(L"signing_sample-") + signer + L".exe");
}

// Whether this machine trusts the test root: WinVerifyTrust on the
// maker-signed sample, the same call the plug-in makes.
bool TestRootTrusted() {
  return VerifyTrust(Sample(L"quon")) == ERROR_SUCCESS;
}

constexpr const char* kUntrustedRoot =
    "the test chain does not verify here (Windows checks chain trust and revocation, Wine "
    "does neither); trust build/pki/root.pem to run this case";

// Out buffers of GetSignatureInfo, filled with a sentinel so an untouched
// buffer is visible.
struct OutBuffers {
  wchar_t signer[kSignatureTextChars];
  wchar_t serial[kSignatureTextChars];
  wchar_t timestamp[kSignatureTextChars];

  OutBuffers() {
    for (wchar_t* b : {signer, serial, timestamp}) {
      wmemset(b, L'#', kSignatureTextChars - 1);
      b[kSignatureTextChars - 1] = L'\0';
    }
  }
  bool Untouched() const {
    const std::wstring sentinel(kSignatureTextChars - 1, L'#');
    return signer == sentinel && serial == sentinel && timestamp == sentinel;
  }
  bool Get(const std::wstring& path) {
    return GetSignatureInfo(nullptr, path.c_str(), signer, serial, timestamp);
  }
};

// "YYYY/MM/DD hh:mm:ss" in this machine's local time of a moment given in
// seconds since 1970-01-01 UTC.
std::wstring LocalText(ULONGLONG unixSeconds) {
  const ULONGLONG ticks = (unixSeconds + 11644473600ULL) * 10000000ULL;
  const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  FILETIME local{};
  SYSTEMTIME t{};
  FileTimeToLocalFileTime(&utc, &local);
  FileTimeToSystemTime(&local, &t);
  wchar_t text[64];
  std::swprintf(text, 64, L"%04u/%02u/%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
                t.wMinute, t.wSecond);
  return text;
}

// The maker-signed sample with one byte of its first section changed.
std::wstring WriteTamperedCopy(const ScratchFolder& folder) {
  std::string bytes = machine_test::ReadAll(Sample(L"quon"));
  IMAGE_DOS_HEADER dos;
  std::memcpy(&dos, bytes.data(), sizeof(dos));
  const size_t fileHeader = static_cast<size_t>(dos.e_lfanew) + sizeof(DWORD);
  IMAGE_FILE_HEADER header;
  std::memcpy(&header, bytes.data() + fileHeader, sizeof(header));
  IMAGE_SECTION_HEADER section;
  std::memcpy(&section, bytes.data() + fileHeader + sizeof(header) + header.SizeOfOptionalHeader,
              sizeof(section));
  const size_t offset = section.PointerToRawData + 16;
  bytes.at(offset) = static_cast<char>(bytes.at(offset) ^ 0x5A);
  const std::filesystem::path path = folder.path() / L"tampered.exe";
  machine_test::WriteAll(path, bytes);
  return path.wstring();
}

struct SignerCase {
  const wchar_t* sample;
  const wchar_t* subject;
  bool trustCheck;         // IsQuonSignature
  bool embeddedSigner;     // CheckEmbeddedSigner
  const wchar_t* serial;   // nullptr: any (the test PKI picks the others)
  std::wstring timestamp;  // as the trust check reads it; "" unstamped
};

// Only "Quonmark Computer Inc." and "QUONMARK COMPUTER INCORPORATION" pass the
// trust check, only "QUONMARK COMPUTER INC." the embedded-signer check; case
// aside, nothing else. The serial number reads as upper-case hexadecimal,
// most significant byte first. Both kinds of time stamp read in local time:
// PELORUS_TSA_TIME is the fixed time of osslsigncode's built-in authority
// (RFC 3161), the counter-signing server (PKCS #9) stamps 2025-03-04 05:06:07 UTC.
std::vector<SignerCase> Signers() {
  const wchar_t* maker = L"Quonmark Computer Inc.";
  return {
      {L"quon", maker, true, true, nullptr, L""},
      {L"quon-lower", L"quonmark computer inc.", true, true, nullptr, L""},
      {L"quon-serial", maker, true, true, L"01A2", L""},
      {L"quon-upper", L"QUONMARK COMPUTER INCORPORATION", true, false, nullptr, L""},
      {L"quon-incorporated", L"Quonmark Computer Incorporated", false, false, nullptr, L""},
      {L"other", L"Halvard Instruments Ltd.", false, false, nullptr, L""},
      {L"quon-ts", maker, true, true, nullptr, LocalText(PELORUS_TSA_TIME)},
      {L"quon-countersigned", maker, true, true, nullptr, LocalText(1741064767)},
  };
}

TEST(SignatureChecks, WhichSignersEachCheckAcceptsAndWhatTheTrustCheckReads) {
  const bool trusted = TestRootTrusted();
  for (const SignerCase& c : Signers()) {
    SCOPED_TRACE(c.sample);
    EXPECT_EQ(CheckEmbeddedSigner(Sample(c.sample).c_str()), c.embeddedSigner);
    if (!trusted) continue;
    EXPECT_EQ(IsQuonSignature(nullptr, Sample(c.sample).c_str()), c.trustCheck);
    OutBuffers out;
    ASSERT_TRUE(out.Get(Sample(c.sample)));
    EXPECT_STREQ(out.signer, c.subject);
    if (c.serial != nullptr) {
      EXPECT_STREQ(out.serial, c.serial);
    }
    EXPECT_EQ(std::wstring(out.timestamp), c.timestamp);
  }
  if (!trusted) GTEST_SKIP() << "trust check: " << kUntrustedRoot;
}

// A changed byte fails the trust check but not the embedded-signer check,
// which reads the signer certificate only; unsigned and empty paths
// fail everywhere. No out buffer is written.
TEST(SignatureChecks, RejectedFilesLeaveTheBuffersAlone) {
  ScratchFolder folder;
  const std::pair<std::wstring, bool> cases[] = {{WriteTamperedCopy(folder), true},
                                                 {BesideThisProgram(L"signing_sample.exe"), false},
                                                 {L"", false},
                                                 {L"\\??\\", false}};
  for (const auto& [path, embeddedSigner] : cases) {
    SCOPED_TRACE(::testing::Message() << path);
    EXPECT_FALSE(IsQuonSignature(nullptr, path.c_str()));
    OutBuffers out;
    EXPECT_FALSE(out.Get(path));
    EXPECT_TRUE(out.Untouched());
    EXPECT_EQ(CheckEmbeddedSigner(path.c_str()), embeddedSigner);
  }
  EXPECT_FALSE(IsQuonSignature(nullptr, nullptr));
  EXPECT_FALSE(CheckEmbeddedSigner(nullptr));
}

TEST(SignatureChecks, NtPrefixIsCheckedAsTheDrivePath) {
  if (!TestRootTrusted()) GTEST_SKIP() << kUntrustedRoot;
  const std::wstring prefixed = L"\\??\\" + Sample(L"quon");
  EXPECT_TRUE(IsQuonSignature(nullptr, prefixed.c_str()));
  OutBuffers out;
  ASSERT_TRUE(out.Get(prefixed));
  EXPECT_STREQ(out.signer, L"Quonmark Computer Inc.");

  ScratchFolder folder;
  const std::wstring tampered = L"\\??\\" + WriteTamperedCopy(folder);
  EXPECT_FALSE(IsQuonSignature(nullptr, tampered.c_str()));

  // A drive path of 259 characters: with the prefix it is longer than the
  // 260 characters the check takes, so it passes only when the prefix is
  // skipped before the length counts.
  const std::wstring base = folder.path().wstring();
  const size_t padding = 259 - base.size() - std::wstring(L"\\p\\s.exe").size() + 1;
  ASSERT_LT(padding, 256u);
  const std::wstring longPath =
      folder.Place(Sample(L"quon"), L"s.exe", std::wstring(padding, L'p')).wstring();
  ASSERT_EQ(longPath.size(), 259u);
  EXPECT_TRUE(IsQuonSignature(nullptr, longPath.c_str()));
  EXPECT_TRUE(IsQuonSignature(nullptr, (L"\\??\\" + longPath).c_str()));
}

// A signer name of more than 260 characters (the test PKI's quon-long): cut
// to the caller's buffer with its terminator, nothing written past it.
TEST(SignatureChecks, LongSignerNameIsCutToTheBuffer) {
  if (!TestRootTrusted()) GTEST_SKIP() << kUntrustedRoot;
  std::wstring name = L"Quonmark Computer Inc. ";
  for (int i = 1; i <= 24; ++i)
    name += L"Division " + std::wstring(i < 10 ? L"0" : L"") + std::to_wstring(i) + L", ";
  name += L"and the rest";
  ASSERT_GT(name.size(), kSignatureTextChars);
  const std::wstring sample = Sample(L"quon-long");
  struct {
    wchar_t signer[kSignatureTextChars];
    wchar_t canary[8];
  } guarded;
  wmemset(guarded.canary, L'#', 8);
  wchar_t serial[kSignatureTextChars], timestamp[kSignatureTextChars];
  ASSERT_TRUE(GetSignatureInfo(nullptr, sample.c_str(), guarded.signer, serial, timestamp));
  EXPECT_EQ(std::wstring(guarded.signer), name.substr(0, kSignatureTextChars - 1));
  EXPECT_EQ(std::wstring(guarded.canary, 8), std::wstring(8, L'#'));
  EXPECT_FALSE(IsQuonSignature(nullptr, sample.c_str()));
  EXPECT_FALSE(CheckEmbeddedSigner(sample.c_str()));
}

// --- Kept verdicts and pinned files ---

// Writes `bytes` over the file in place and puts its times back, as a
// tampering that keeps size and dates would.
void OverwriteKeepingTimes(const std::wstring& path, const std::string& bytes) {
  FILETIME created{}, accessed{}, written{};
  {
    unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    ASSERT_TRUE(GetFileTime(file.get(), &created, &accessed, &written));
  }
  machine_test::WriteAll(path, bytes);
  unique_hfile file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file);
  ASSERT_TRUE(SetFileTime(file.get(), &created, &accessed, &written));
}

// Nobody holds the file: it can be opened exclusively and renamed.
bool NotHeldOpen(const std::wstring& path) {
  {
    unique_hfile exclusive(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
    if (!exclusive) return false;
  }
  const std::wstring moved = path + L".moved";
  return MoveFileW(path.c_str(), moved.c_str()) && MoveFileW(moved.c_str(), path.c_str());
}

// A verdict is reused only for the same bytes at the same path: a tampered
// copy (same size, one byte flipped, times put back) and a copy by another
// signer are checked afresh, and the original passes again afterwards.
TEST(SignatureChecks, AVerdictIsReusedOnlyForTheSameBytes) {
  if (!TestRootTrusted()) GTEST_SKIP() << kUntrustedRoot;
  ScratchFolder folder;
  const std::wstring tampered = WriteTamperedCopy(folder);
  const std::string tamperedBytes = machine_test::ReadAll(tampered);
  const std::string original = machine_test::ReadAll(Sample(L"quon"));
  ASSERT_EQ(tamperedBytes.size(), original.size());
  const std::wstring path = (folder.path() / L"companion.exe").wstring();
  machine_test::WriteAll(path, original);

  EXPECT_TRUE(IsQuonSignature(nullptr, path.c_str()));
  EXPECT_TRUE(IsQuonSignature(nullptr, path.c_str()));  // from the kept verdict
  OverwriteKeepingTimes(path, tamperedBytes);
  EXPECT_FALSE(IsQuonSignature(nullptr, path.c_str()));
  OutBuffers out;
  EXPECT_FALSE(out.Get(path));
  EXPECT_TRUE(out.Untouched());

  OverwriteKeepingTimes(path, machine_test::ReadAll(Sample(L"quon-upper")));
  ASSERT_TRUE(out.Get(path));
  EXPECT_STREQ(out.signer, L"QUONMARK COMPUTER INCORPORATION");
  OverwriteKeepingTimes(path, machine_test::ReadAll(Sample(L"other")));
  EXPECT_FALSE(IsQuonSignature(nullptr, path.c_str()));
  OverwriteKeepingTimes(path, original);
  EXPECT_TRUE(IsQuonSignature(nullptr, path.c_str()));
  EXPECT_TRUE(NotHeldOpen(path));
}

// No check leaves the file open; a pin holds it against writing, renaming
// and deleting until it is released; a file someone is writing is refused.
TEST(SignatureChecks, FilesArePinnedOnlyWhileAskedFor) {
  ScratchFolder folder;
  const std::wstring path = folder.Place(Sample(L"quon"), L"companion.exe").wstring();
  const std::wstring tampered = WriteTamperedCopy(folder);
  for (const std::wstring& checked : {path, tampered}) {
    SCOPED_TRACE(::testing::Message() << checked);
    IsQuonSignature(nullptr, checked.c_str());
    EXPECT_TRUE(NotHeldOpen(checked));
    OutBuffers out;
    out.Get(checked);
    EXPECT_TRUE(NotHeldOpen(checked));
    CheckEmbeddedSigner(checked.c_str());
    EXPECT_TRUE(NotHeldOpen(checked));
  }

  PinnedFile pin;
  ASSERT_TRUE(CheckEmbeddedSigner(path.c_str(), &pin));
  ASSERT_TRUE(pin.Held());
  const std::wstring moved = path + L".moved";
  EXPECT_FALSE(MoveFileW(path.c_str(), moved.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  unique_hfile writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(writer);
  pin.Release();
  EXPECT_TRUE(NotHeldOpen(path));

  // A refused file is not left pinned.
  EXPECT_FALSE(CheckEmbeddedSigner(Sample(L"other").c_str(), &pin));
  EXPECT_FALSE(pin.Held());

  // Open for writing elsewhere: cannot be pinned, so refused by both checks.
  writer.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  EXPECT_FALSE(IsQuonSignature(nullptr, path.c_str(), &pin));
  EXPECT_FALSE(CheckEmbeddedSigner(path.c_str()));
  EXPECT_FALSE(pin.Held());
}

// What is loaded from a pinned path is confirmed to be the pinned file.
TEST(SignatureChecks, ALoadedImageIsConfirmedAgainstThePin) {
  ScratchFolder folder;
  const std::wstring path = folder.Place(Sample(L"quon"), L"companion.dll").wstring();
  const std::wstring other = folder.Place(Sample(L"quon"), L"other.dll").wstring();
  PinnedFile pin;
  ASSERT_TRUE(pin.Open(path.c_str()));
  unique_hmodule loaded(LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
  unique_hmodule elsewhere(LoadLibraryExW(other.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
  ASSERT_TRUE(loaded);
  ASSERT_TRUE(elsewhere);
  EXPECT_TRUE(pin.ConfirmImage(loaded.get()));
  EXPECT_FALSE(pin.ConfirmImage(elsewhere.get()));
  pin.Release();
  EXPECT_FALSE(pin.ConfirmImage(loaded.get()));
  if (TestRootTrusted()) {
    // A kept verdict for a module that stays loaded is still the file's.
    EXPECT_TRUE(IsQuonSignature(nullptr, path.c_str(), &pin, loaded.get()));
    EXPECT_TRUE(pin.ConfirmImage(loaded.get()));
    pin.Release();
    EXPECT_TRUE(IsQuonSignature(nullptr, path.c_str(), &pin, loaded.get()));
  }
}

// The longest path the trust check takes: 260 characters.
TEST(SignatureChecks, APathOfTheFullLengthIsChecked) {
  if (!TestRootTrusted()) GTEST_SKIP() << kUntrustedRoot;
  ScratchFolder folder;
  const std::wstring base = folder.path().wstring();
  const size_t padding = 260 - base.size() - std::wstring(L"\\p\\s.exe").size() + 1;
  ASSERT_LT(padding, 256u);
  const std::wstring longPath =
      folder.Place(Sample(L"quon"), L"s.exe", std::wstring(padding, L'p')).wstring();
  ASSERT_EQ(longPath.size(), 260u);
  EXPECT_TRUE(IsQuonSignature(nullptr, longPath.c_str()));
  EXPECT_FALSE(IsQuonSignature(nullptr, (longPath + L"x").c_str()));
}

TEST(SignatureChecks, InstallDirLookupFollowsProgramFilesAtCallTime) {
  ScratchFolder root;
  const std::wstring sub = L"QUON\\CORVANE KIOSK Lite Service\\Pelorus";
  const std::wstring companion = root.Place(Sample(L"quon"), L"Companion.exe", sub).wstring();

  ScopedEnvironment programFiles(L"ProgramFiles", root.path().wstring());
  EXPECT_TRUE(CheckEmbeddedSignerInInstallDir(L"Companion.exe", false));
  // With the flag the name is the whole path.
  EXPECT_FALSE(CheckEmbeddedSignerInInstallDir(L"Companion.exe", true));
  EXPECT_TRUE(CheckEmbeddedSignerInInstallDir(companion.c_str(), true));

  // Read at every call: another folder, then none at all.
  SetEnvironmentVariableW(L"ProgramFiles", (root.path() / L"elsewhere").c_str());
  EXPECT_FALSE(CheckEmbeddedSignerInInstallDir(L"Companion.exe", false));
  SetEnvironmentVariableW(L"ProgramFiles", nullptr);
  EXPECT_FALSE(CheckEmbeddedSignerInInstallDir(L"Companion.exe", false));
}

}  // namespace
