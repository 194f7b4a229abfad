// The security support provider interface (SSPI), ANSI flavour: the types,
// codes and function table that "Security.dll" (here libsecurity.so) hands
// out through InitSecurityInterfaceA. Only the NTLM package is provided,
// and only the client side of it.
//
// The table keeps the Win32 slot order; entries this provider does not
// offer are null. Handles are opaque pairs of words; a handle that was
// freed or never handed out is refused with SEC_E_INVALID_HANDLE.
//
// Thread safety: credentials and contexts may be used from any thread, one
// call at a time per handle.
#pragma once

#include "platform/types.h"

typedef int32_t SECURITY_STATUS;
typedef int64_t TimeStamp;  // FILETIME-style expiry

typedef struct _SecHandle {
  uintptr_t dwLower;
  uintptr_t dwUpper;
} SecHandle, CredHandle, CtxtHandle;

typedef struct _SecBuffer {
  uint32_t cbBuffer;
  uint32_t BufferType;
  void* pvBuffer;
} SecBuffer;

typedef struct _SecBufferDesc {
  uint32_t ulVersion;
  uint32_t cBuffers;
  SecBuffer* pBuffers;
} SecBufferDesc;

// An ANSI identity: lengths are in characters, without the terminator.
typedef struct _SEC_WINNT_AUTH_IDENTITY_A {
  unsigned char* User;
  uint32_t UserLength;
  unsigned char* Domain;
  uint32_t DomainLength;
  unsigned char* Password;
  uint32_t PasswordLength;
  uint32_t Flags;
} SEC_WINNT_AUTH_IDENTITY_A;

#define SEC_WINNT_AUTH_IDENTITY_ANSI 0x1u

#define SEC_E_OK ((SECURITY_STATUS)0x00000000)
#define SEC_I_CONTINUE_NEEDED ((SECURITY_STATUS)0x00090312)
#define SEC_E_INSUFFICIENT_MEMORY ((SECURITY_STATUS)0x80090300)
#define SEC_E_INVALID_HANDLE ((SECURITY_STATUS)0x80090301)
#define SEC_E_UNSUPPORTED_FUNCTION ((SECURITY_STATUS)0x80090302)
#define SEC_E_INTERNAL_ERROR ((SECURITY_STATUS)0x80090304)
#define SEC_E_SECPKG_NOT_FOUND ((SECURITY_STATUS)0x80090305)
#define SEC_E_INVALID_TOKEN ((SECURITY_STATUS)0x80090308)
#define SEC_E_NO_CREDENTIALS ((SECURITY_STATUS)0x8009030E)
#define SEC_E_BUFFER_TOO_SMALL ((SECURITY_STATUS)0x80090321)
#define SEC_E_OUT_OF_SEQUENCE ((SECURITY_STATUS)0x80090310)

#define SECPKG_CRED_INBOUND 0x1u
#define SECPKG_CRED_OUTBOUND 0x2u

#define SECBUFFER_VERSION 0u
#define SECBUFFER_EMPTY 0u
#define SECBUFFER_TOKEN 2u

#define SECURITY_NATIVE_DREP 0x10u

// InitializeSecurityContextA context requirements.
#define ISC_REQ_DELEGATE 0x00000001u
#define ISC_REQ_MUTUAL_AUTH 0x00000002u
#define ISC_REQ_REPLAY_DETECT 0x00000004u
#define ISC_REQ_SEQUENCE_DETECT 0x00000008u
#define ISC_REQ_CONFIDENTIALITY 0x00000010u
#define ISC_REQ_ALLOCATE_MEMORY 0x00000100u
#define ISC_REQ_USE_DCE_STYLE 0x00000200u
#define ISC_REQ_CONNECTION 0x00000800u
#define ISC_REQ_INTEGRITY 0x00010000u

typedef SECURITY_STATUS (*ACQUIRE_CREDENTIALS_HANDLE_FN_A)(
    char* principal, char* package, uint32_t credentialUse, void* logonId, void* authData,
    void* getKeyFn, void* getKeyArgument, CredHandle* credential, TimeStamp* expiry);
typedef SECURITY_STATUS (*FREE_CREDENTIALS_HANDLE_FN)(CredHandle* credential);
typedef SECURITY_STATUS (*INITIALIZE_SECURITY_CONTEXT_FN_A)(
    CredHandle* credential, CtxtHandle* context, char* targetName, uint32_t contextReq,
    uint32_t reserved1, uint32_t targetDataRep, SecBufferDesc* input, uint32_t reserved2,
    CtxtHandle* newContext, SecBufferDesc* output, uint32_t* contextAttributes,
    TimeStamp* expiry);
typedef SECURITY_STATUS (*DELETE_SECURITY_CONTEXT_FN)(CtxtHandle* context);
typedef SECURITY_STATUS (*FREE_CONTEXT_BUFFER_FN)(void* buffer);

// The function table, in the Win32 slot order.
typedef struct _SECURITY_FUNCTION_TABLE_A {
  uint32_t dwVersion;
  void* EnumerateSecurityPackagesA;
  void* QueryCredentialsAttributesA;
  ACQUIRE_CREDENTIALS_HANDLE_FN_A AcquireCredentialsHandleA;
  FREE_CREDENTIALS_HANDLE_FN FreeCredentialsHandle;
  void* Reserved2;
  INITIALIZE_SECURITY_CONTEXT_FN_A InitializeSecurityContextA;
  void* AcceptSecurityContext;
  void* CompleteAuthToken;
  DELETE_SECURITY_CONTEXT_FN DeleteSecurityContext;
  void* ApplyControlToken;
  void* QueryContextAttributesA;
  void* ImpersonateSecurityContext;
  void* RevertSecurityContext;
  void* MakeSignature;
  void* VerifySignature;
  FREE_CONTEXT_BUFFER_FN FreeContextBuffer;
  void* QuerySecurityPackageInfoA;
  void* Reserved3;
  void* Reserved4;
  void* ExportSecurityContext;
  void* ImportSecurityContextA;
  void* AddCredentialsA;
  void* Reserved8;
  void* QuerySecurityContextToken;
  void* EncryptMessage;
  void* DecryptMessage;
  void* SetContextAttributesA;
} SecurityFunctionTableA, *PSecurityFunctionTableA;

typedef PSecurityFunctionTableA (*INIT_SECURITY_INTERFACE_A)(void);

#define SECURITY_ENTRYPOINT_ANSIA "InitSecurityInterfaceA"
