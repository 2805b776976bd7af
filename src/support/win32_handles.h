// Owning types for Win32 handles (Win32-only). One alias per handle kind, each
// knowing which value means "none": kernel handles use nullptr, file and
// snapshot handles INVALID_HANDLE_VALUE. Closing keeps the caller's last error.
#pragma once

#include "support/win32.h"

#include <bcrypt.h>
#include <oleauto.h>
#include <userenv.h>
#include <wincrypt.h>

#include <utility>

template <class Traits>
class UniqueHandle {
 public:
  using value_type = typename Traits::type;

  constexpr UniqueHandle() noexcept : m_value(Traits::Invalid()) {}
  explicit UniqueHandle(value_type v) noexcept : m_value(v) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& o) noexcept : m_value(o.release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  value_type get() const noexcept { return m_value; }
  explicit operator bool() const noexcept { return m_value != Traits::Invalid(); }
  value_type release() noexcept { return std::exchange(m_value, Traits::Invalid()); }
  void reset(value_type v = Traits::Invalid()) noexcept {
    value_type old = std::exchange(m_value, v);
    if (old != Traits::Invalid()) {
      DWORD error = GetLastError();
      Traits::Close(old);
      SetLastError(error);
    }
  }
  // For APIs that fill an out parameter.
  value_type* put() noexcept {
    reset();
    return &m_value;
  }

 private:
  value_type m_value;
};

struct KernelHandleTraits {
  using type = HANDLE;
  static constexpr type Invalid() { return nullptr; }
  static void Close(type h) { CloseHandle(h); }
};
struct FileHandleTraits {
  using type = HANDLE;
  static type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(type h) { CloseHandle(h); }
};
struct FindHandleTraits {
  using type = HANDLE;
  static type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(type h) { FindClose(h); }
};
struct RegKeyTraits {
  using type = HKEY;
  static type Invalid() { return nullptr; }
  static void Close(type h) { RegCloseKey(h); }
};
struct ModuleTraits {
  using type = HMODULE;
  static type Invalid() { return nullptr; }
  static void Close(type h) { FreeLibrary(h); }
};
struct ServiceHandleTraits {
  using type = SC_HANDLE;
  static type Invalid() { return nullptr; }
  static void Close(type h) { CloseServiceHandle(h); }
};
struct LocalMemTraits {
  using type = HLOCAL;
  static type Invalid() { return nullptr; }
  static void Close(type h) { LocalFree(h); }
};
struct CertStoreTraits {
  using type = HCERTSTORE;
  static type Invalid() { return nullptr; }
  static void Close(type h) { CertCloseStore(h, 0); }
};
struct CryptMsgTraits {
  using type = HCRYPTMSG;
  static type Invalid() { return nullptr; }
  static void Close(type h) { CryptMsgClose(h); }
};
struct CertContextTraits {
  using type = PCCERT_CONTEXT;
  static type Invalid() { return nullptr; }
  static void Close(type h) { CertFreeCertificateContext(h); }
};

struct BCryptAlgorithmTraits {
  using type = BCRYPT_ALG_HANDLE;
  static type Invalid() { return nullptr; }
  static void Close(type h) { BCryptCloseAlgorithmProvider(h, 0); }
};
struct BCryptHashTraits {
  using type = BCRYPT_HASH_HANDLE;
  static type Invalid() { return nullptr; }
  static void Close(type h) { BCryptDestroyHash(h); }
};

struct EnvironmentBlockTraits {
  using type = LPVOID;
  static type Invalid() { return nullptr; }
  static void Close(type h) { DestroyEnvironmentBlock(h); }
};

using unique_handle = UniqueHandle<KernelHandleTraits>;  // threads, processes, events, mutexes

// CreateFile's failure value as null, for a file kept in a unique_handle
// (which, unlike unique_hfile, can be constant-initialised).
inline HANDLE NullIfInvalid(HANDLE h) noexcept {
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}
using unique_hfile = UniqueHandle<FileHandleTraits>;  // CreateFile, snapshots
using unique_hfind = UniqueHandle<FindHandleTraits>;  // FindFirstFile
using unique_hkey = UniqueHandle<RegKeyTraits>;
using unique_hmodule = UniqueHandle<ModuleTraits>;
using unique_hlocal = UniqueHandle<LocalMemTraits>;
using unique_schandle = UniqueHandle<ServiceHandleTraits>;  // service manager and services
using unique_hcertstore = UniqueHandle<CertStoreTraits>;
using unique_hcryptmsg = UniqueHandle<CryptMsgTraits>;
using unique_cert_context = UniqueHandle<CertContextTraits>;            // PCCERT_CONTEXT
using unique_environment_block = UniqueHandle<EnvironmentBlockTraits>;  // CreateEnvironmentBlock
using unique_bcrypt_algorithm = UniqueHandle<BCryptAlgorithmTraits>;
using unique_bcrypt_hash = UniqueHandle<BCryptHashTraits>;

// A critical section owned for the object's lifetime, with a scoped lock.
class CriticalSection {
 public:
  CriticalSection() noexcept { InitializeCriticalSection(&m_cs); }
  ~CriticalSection() { DeleteCriticalSection(&m_cs); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  void lock() noexcept { EnterCriticalSection(&m_cs); }
  void unlock() noexcept { LeaveCriticalSection(&m_cs); }

 private:
  CRITICAL_SECTION m_cs;
};

// A VARIANT that is cleared (VariantClear) when its owner ends; Clear() does
// it earlier and reports the result.
class UniqueVariant {
 public:
  UniqueVariant() noexcept { VariantInit(&m_value); }
  ~UniqueVariant() { VariantClear(&m_value); }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  VARIANT* get() noexcept { return &m_value; }
  HRESULT Clear() noexcept { return VariantClear(&m_value); }

 private:
  VARIANT m_value;
};

// COM initialised on the calling thread (apartment model, CoInitialize) for
// the object's lifetime. Only a successful initialisation (S_OK or S_FALSE)
// is balanced by CoUninitialize: a thread that already joined another
// apartment keeps its own.
class ComInitialization {
 public:
  ComInitialization() noexcept : m_result(CoInitialize(nullptr)) {}
  ~ComInitialization() {
    if (SUCCEEDED(m_result)) CoUninitialize();
  }
  ComInitialization(const ComInitialization&) = delete;
  ComInitialization& operator=(const ComInitialization&) = delete;

 private:
  HRESULT m_result;
};
