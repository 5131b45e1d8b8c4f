// What Windows's own Authenticode check says of a file: WinVerifyTrust with the generic verify
// action (what a download prompt or SmartScreen asks), no UI and no revocation check. Used by the
// harness's "trust" step and by zqv_e2e_verifytrust. wintrust.dll is loaded on first use, so the
// harness imports nothing more for the groups that never ask.
#pragma once

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstring>

namespace trust {

struct Answer {
  LONG code;
  const char* name;
  const char* meaning;
};

// The answers a signed, tampered, unsigned or unreadable file can get.
inline constexpr Answer kAnswers[] = {
    {LONG(ERROR_SUCCESS), "ERROR_SUCCESS", "signed, intact and trusted"},
    {LONG(TRUST_E_NOSIGNATURE), "TRUST_E_NOSIGNATURE", "no signature"},
    {LONG(TRUST_E_BAD_DIGEST), "TRUST_E_BAD_DIGEST", "the file's digest differs from the signed one"},
    {LONG(CERT_E_UNTRUSTEDROOT), "CERT_E_UNTRUSTEDROOT", "intact, but the chain ends in an untrusted root"},
    {LONG(CERT_E_CHAINING), "CERT_E_CHAINING", "intact, but no chain to a trusted root"},
    {LONG(CERT_E_EXPIRED), "CERT_E_EXPIRED", "a certificate of the chain has expired"},
    {LONG(CERT_E_WRONG_USAGE), "CERT_E_WRONG_USAGE", "the certificate is not for code signing"},
    {LONG(TRUST_E_SUBJECT_FORM_UNKNOWN), "TRUST_E_SUBJECT_FORM_UNKNOWN", "not a kind of file the providers know"},
    {LONG(TRUST_E_SUBJECT_NOT_TRUSTED), "TRUST_E_SUBJECT_NOT_TRUSTED", "the signer is not trusted"},
    {LONG(TRUST_E_PROVIDER_UNKNOWN), "TRUST_E_PROVIDER_UNKNOWN", "no trust provider for the action"},
    {LONG(CRYPT_E_FILE_ERROR), "CRYPT_E_FILE_ERROR", "the file could not be read"},
};

inline const Answer* Describe(LONG code) {
  for (const Answer& a : kAnswers)
    if (a.code == code) return &a;
  return nullptr;
}

// The HRESULT of WinVerifyTrust for the file; TRUST_E_PROVIDER_UNKNOWN when this Windows has no
// wintrust.dll (Windows 95 without Internet Explorer).
inline LONG VerifyFile(const char* path) {
  using VerifyTrust = LONG(WINAPI*)(HWND, GUID*, void*);
  static const auto verify = reinterpret_cast<VerifyTrust>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("wintrust.dll"), "WinVerifyTrust")));
  if (!verify) return LONG(TRUST_E_PROVIDER_UNKNOWN);
  wchar_t wide[MAX_PATH * 2];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH * 2) == 0) return LONG(CRYPT_E_FILE_ERROR);
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = wide;
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;  // frees what the verification kept
  verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

// Whether an answer belongs to a class a scenario names; false for an unknown class.
//   intact      the signature covers these bytes: the digest and the signer's signature held,
//               whether or not the certificate's chain is trusted. Windows answers
//               CERT_E_UNTRUSTEDROOT for a self-signed certificate; Wine 8 answers ERROR_SUCCESS
//               when the certificate is signed with SHA-256 (it then skips the chain's policy)
//               and CERT_E_UNTRUSTEDROOT when it is signed with SHA-1.
//   bad-digest  the file differs from what was signed
//   unsigned    the file carries no signature
inline bool InClass(const char* answerClass, LONG code) {
  if (std::strcmp(answerClass, "intact") == 0)
    return code == LONG(ERROR_SUCCESS) || code == LONG(CERT_E_UNTRUSTEDROOT) || code == LONG(CERT_E_CHAINING);
  if (std::strcmp(answerClass, "bad-digest") == 0) return code == LONG(TRUST_E_BAD_DIGEST);
  if (std::strcmp(answerClass, "unsigned") == 0) return code == LONG(TRUST_E_NOSIGNATURE);
  return false;
}

inline bool IsClass(const char* answerClass) {
  return std::strcmp(answerClass, "intact") == 0 || std::strcmp(answerClass, "bad-digest") == 0 ||
         std::strcmp(answerClass, "unsigned") == 0;
}

}  // namespace trust
