// ServerClassTable: the classes this library creates. One table drives the class
// factory, the process attach/detach hooks and registration.
#pragma once

#include <windows.h>

#include "unknown.h"

#include <strmif.h>

// Creates a new object as its CUnknown part. *result comes in as S_OK; a creator
// that fails returns null (or an object it wants destroyed) and stores why.
typedef CUnknown* (*CreateInstanceFunction)(IUnknown* outer, HRESULT* result);

// Called at process attach (loading TRUE) and detach (loading FALSE).
typedef void (*InitRoutine)(BOOL loading, const CLSID* clsid);

struct ServerClass {
    const wchar_t* name;
    const CLSID* clsid;
    CreateInstanceFunction create;
    InitRoutine init;                 // may be null
    const REGFILTER2* filterData;     // filter-mapper registration; may be null
};

extern const ServerClass ServerClassTable[];
extern const int ServerClassCount;

// The table entry for `clsid`, or null.
const ServerClass* FindServerClass(REFCLSID clsid);
