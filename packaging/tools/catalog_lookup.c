/* Looks files up in a driver catalog the way Windows does, through wintrust.

     catalog_lookup.exe CATALOG NAME=HASH...

   Opens CATALOG with CryptCATOpen, lists its members with
   CryptCATEnumerateMember, and finds each NAME's SHA-256 HASH (upper-case
   hexadecimal, taken by another tool) among them: under its tag, with the
   same digest in its indirect data. Where
   wintrust can hash a file itself (CryptCATAdminCalcHashFromFileHandle2,
   Windows 8 and later), NAME is also hashed and must give HASH. Exits 0 when
   every file is found and the catalog lists nothing else. */
#include <windows.h>
#include <wincrypt.h>
#include <mscat.h>
#include <stdio.h>
#include <wchar.h>

typedef BOOL(WINAPI *CalcHash2)(HCATADMIN, HANDLE, DWORD *, BYTE *, DWORD);
typedef BOOL(WINAPI *AcquireContext2)(HCATADMIN *, const GUID *, const WCHAR *, const CERT_STRONG_SIGN_PARA *, DWORD);

static void to_hex(const BYTE *data, DWORD size, WCHAR *out)
{
    static const WCHAR digits[] = L"0123456789ABCDEF";
    for (DWORD i = 0; i < size; i++) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 15];
    }
    out[2 * size] = 0;
}

static int members_of(HANDLE catalog)
{
    int count = 0;
    CRYPTCATMEMBER *member = NULL;
    while ((member = CryptCATEnumerateMember(catalog, member)) != NULL) {
        count++;
        wprintf(L"member %ls\n", member->pwszReferenceTag);
    }
    return count;
}

/* Walks the members rather than asking CryptCATGetMemberInfo, which Wine's
   wintrust does not answer. */
static CRYPTCATMEMBER *member_tagged(HANDLE catalog, const WCHAR *tag)
{
    CRYPTCATMEMBER *member = NULL;
    while ((member = CryptCATEnumerateMember(catalog, member)) != NULL)
        if (member->pwszReferenceTag && wcscmp(member->pwszReferenceTag, tag) == 0)
            return member;
    return NULL;
}

/* Wintrust's own hash of `path`, where it can take one: 1 same, 0 different, -1 not available. */
static int same_as_wintrust(HCATADMIN admin, CalcHash2 calc, const WCHAR *path, const WCHAR *hex)
{
    BYTE hash[64];
    DWORD size = sizeof(hash);
    WCHAR text[129];
    if (!admin || !calc)
        return -1;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    BOOL ok = calc(admin, file, &size, hash, 0);
    CloseHandle(file);
    if (!ok)
        return 0;
    to_hex(hash, size, text);
    return wcscmp(text, hex) == 0;
}

static int look_up(HANDLE catalog, HCATADMIN admin, CalcHash2 calc, WCHAR *argument)
{
    WCHAR *hex = wcschr(argument, L'=');
    if (!hex) {
        wprintf(L"'%ls' is not NAME=HASH\n", argument);
        return 0;
    }
    *hex++ = 0;
    CRYPTCATMEMBER *member = member_tagged(catalog, hex);
    if (!member || !member->pIndirectData) {
        wprintf(L"%ls: no member %ls\n", argument, hex);
        return 0;
    }
    WCHAR digest[129];
    CRYPT_HASH_BLOB *blob = &member->pIndirectData->Digest;
    to_hex(blob->pbData, blob->cbData > 64 ? 64 : blob->cbData, digest);
    if (wcscmp(digest, hex) != 0) {
        wprintf(L"%ls: member %ls has the digest %ls\n", argument, hex, digest);
        return 0;
    }
    int wintrust = same_as_wintrust(admin, calc, argument, hex);
    if (wintrust == 0) {
        wprintf(L"%ls: wintrust hashes it differently\n", argument);
        return 0;
    }
    wprintf(L"%ls: found%ls\n", argument, wintrust > 0 ? L", and wintrust's own hash agrees" : L"");
    return 1;
}

int wmain(int argc, WCHAR **argv)
{
    if (argc < 3) {
        fwprintf(stderr, L"usage: catalog_lookup CATALOG NAME=HASH...\n");
        return 2;
    }
    HANDLE catalog = CryptCATOpen(argv[1], CRYPTCAT_OPEN_EXISTING, 0, CRYPTCAT_VERSION_2, 0);
    if (catalog == INVALID_HANDLE_VALUE || !catalog) {
        wprintf(L"CryptCATOpen(%ls) failed: %lu\n", argv[1], GetLastError());
        return 1;
    }
    HCATADMIN admin = NULL;
    /* Both come with Windows 8; looked up so that an older wintrust still opens the catalog. */
    HMODULE wintrust = GetModuleHandleW(L"wintrust.dll");
    CalcHash2 calc = (CalcHash2)(void *)GetProcAddress(wintrust, "CryptCATAdminCalcHashFromFileHandle2");
    AcquireContext2 acquire = (AcquireContext2)(void *)GetProcAddress(wintrust, "CryptCATAdminAcquireContext2");
    if (!calc || !acquire || !acquire(&admin, NULL, L"SHA256", NULL, 0))
        calc = NULL, admin = NULL;
    if (!calc)
        wprintf(L"this wintrust cannot hash with SHA-256; the hashes given are looked up\n");
    int found = 0, count = members_of(catalog);
    for (int i = 2; i < argc; i++)
        found += look_up(catalog, admin, calc, argv[i]);
    if (admin)
        CryptCATAdminReleaseContext(admin, 0);
    CryptCATClose(catalog);
    wprintf(L"%d of %d files found; the catalog lists %d\n", found, argc - 2, count);
    return found == argc - 2 && count == argc - 2 ? 0 : 1;
}
