// Basic kernel types, status codes and memory helpers of the host stand-in.
// Names, widths and values are those of the WDK headers so that driver code
// compiles unchanged on both homes (ULONG is 32 bits here, as on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Windows x64 has one calling convention, and it is not this host's: every
// routine the platform exports to a driver and every routine a driver hands
// the platform to call takes it here too, so that the host build crosses the
// same boundary a driver image does.
#define NTAPI __attribute__((ms_abi))
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define FIELD_OFFSET(type, field) offsetof(type, field)
#define FORCEINLINE inline __attribute__((always_inline))

typedef void VOID;
typedef void* PVOID;
typedef uint8_t UCHAR, *PUCHAR;
typedef int8_t CHAR, *PCHAR;
typedef uint16_t USHORT, *PUSHORT;
typedef int16_t SHORT;
typedef uint32_t ULONG, *PULONG;
typedef int32_t LONG, *PLONG;
typedef uint64_t ULONGLONG, ULONG64;
typedef int64_t LONGLONG, LONG64;
typedef uintptr_t ULONG_PTR, SIZE_T, *PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef uint8_t BOOLEAN, *PBOOLEAN;
typedef uint16_t WCHAR, *PWCHAR, *PWSTR;
typedef const WCHAR* PCWSTR;
typedef uint32_t DWORD;
typedef int BOOL;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL, *PKIRQL;
typedef CHAR KPROCESSOR_MODE;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
typedef const GUID& REFGUID;

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_ALERTED ((NTSTATUS)0x00000101L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_MORE_ENTRIES ((NTSTATUS)0x00000105L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_DEVICE_DATA_ERROR ((NTSTATUS)0xC000009CL)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)

#define RtlZeroMemory(d, n) std::memset((d), 0, (n))
#define RtlFillMemory(d, n, v) std::memset((d), (v), (n))
#define RtlCopyMemory(d, s, n) std::memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) std::memmove((d), (s), (n))
#define RtlEqualMemory(a, b, n) (std::memcmp((a), (b), (n)) == 0)

inline SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T n) {
    const UCHAR* x = static_cast<const UCHAR*>(a);
    const UCHAR* y = static_cast<const UCHAR*>(b);
    SIZE_T i = 0;
    while (i < n && x[i] == y[i]) ++i;
    return i;
}

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

#define KernelMode 0
#define UserMode 1
