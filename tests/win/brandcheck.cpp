// Reads a launcher's branding through Windows' own resource functions, as
// Explorer does: the file is loaded as a data file, never run.
//   brandcheck FILE SIZE [KEY...]
// Report lines on stdout:
//   group BYTES                 size of the icon group IDI_APPICON
//   pick ID BYTES               the image LookupIconIdFromDirectoryEx picks
//                               for SIZE x SIZE, and its size
//   icon WIDTH HEIGHT           what CreateIconFromResourceEx made of it
//   fixed FILE PRODUCT          VS_FIXEDFILEINFO's versions, as A.B.C.D
//   translation LANG CODEPAGE   the first Translation pair, in hex
//   string KEY VALUE            per KEY, from StringFileInfo\040904B0
// and "error WHAT CODE" for whatever fails; exit status 1 then.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>

#include "../../res/resource.h"
#include "report.h"

namespace {

int Fail(const char *what)
{
    printf("error %s %lu\n", what, GetLastError());
    return 1;
}

// The icon part: group IDI_APPICON, the image picked for the size, and whether the
// system can make an icon of it.
int CheckIcon(HMODULE hModule, int cxy)
{
    HRSRC hGroup = FindResourceA(hModule, MAKEINTRESOURCEA(IDI_APPICON), MAKEINTRESOURCEA(14));  // RT_GROUP_ICON
    if (!hGroup)
        return Fail("FindResource(RT_GROUP_ICON)");
    PBYTE pGroup = (PBYTE)LockResource(LoadResource(hModule, hGroup));
    if (!pGroup)
        return Fail("LoadResource(RT_GROUP_ICON)");
    printf("group %lu\n", SizeofResource(hModule, hGroup));
    int id = LookupIconIdFromDirectoryEx(pGroup, TRUE, cxy, cxy, LR_DEFAULTCOLOR);
    if (id == 0)
        return Fail("LookupIconIdFromDirectoryEx");
    HRSRC hImage = FindResourceA(hModule, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(3));  // RT_ICON
    if (!hImage)
        return Fail("FindResource(RT_ICON)");
    DWORD cb = SizeofResource(hModule, hImage);
    printf("pick %d %lu\n", id, cb);
    PBYTE pImage = (PBYTE)LockResource(LoadResource(hModule, hImage));
    HICON hIcon = pImage ? CreateIconFromResourceEx(pImage, cb, TRUE, 0x00030000, cxy, cxy, LR_DEFAULTCOLOR) : NULL;
    if (!hIcon)
        return Fail("CreateIconFromResourceEx");
    ICONINFO info;
    BITMAP bm;
    if (GetIconInfo(hIcon, &info)) {
        if (GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bm), &bm))
            printf("icon %ld %ld\n", bm.bmWidth, info.hbmColor ? bm.bmHeight : bm.bmHeight / 2);
        if (info.hbmColor)
            DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
    }
    DestroyIcon(hIcon);
    return 0;
}

int CheckVersion(const char *pszFile, int cKeys, char **ppszKeys)
{
    DWORD dwHandle = 0;
    DWORD cb = GetFileVersionInfoSizeA(pszFile, &dwHandle);
    if (cb == 0)
        return Fail("GetFileVersionInfoSize");
    std::string buf(cb, '\0');
    if (!GetFileVersionInfoA(pszFile, 0, cb, &buf[0]))
        return Fail("GetFileVersionInfo");
    VS_FIXEDFILEINFO *pFixed = NULL;
    UINT cbValue = 0;
    if (!VerQueryValueA(&buf[0], "\\", (void **)&pFixed, &cbValue) || cbValue < sizeof(*pFixed))
        return Fail("VerQueryValue(\\)");
    printf("fixed %lu.%lu.%lu.%lu %lu.%lu.%lu.%lu\n", pFixed->dwFileVersionMS >> 16,
           pFixed->dwFileVersionMS & 0xFFFF, pFixed->dwFileVersionLS >> 16, pFixed->dwFileVersionLS & 0xFFFF,
           pFixed->dwProductVersionMS >> 16, pFixed->dwProductVersionMS & 0xFFFF,
           pFixed->dwProductVersionLS >> 16, pFixed->dwProductVersionLS & 0xFFFF);
    WORD *pwTranslation = NULL;
    if (!VerQueryValueA(&buf[0], "\\VarFileInfo\\Translation", (void **)&pwTranslation, &cbValue) || cbValue < 4)
        return Fail("VerQueryValue(Translation)");
    printf("translation %04x %04x\n", pwTranslation[0], pwTranslation[1]);
    for (int i = 0; i < cKeys; ++i) {
        char szPath[256];
        sprintf_s(szPath, sizeof(szPath), "\\StringFileInfo\\040904B0\\%s", ppszKeys[i]);
        char *pszValue = NULL;
        if (!VerQueryValueA(&buf[0], szPath, (void **)&pszValue, &cbValue))
            printf("string %s (none)\n", ppszKeys[i]);
        else
            printf("string %s %s\n", ppszKeys[i], Escape(pszValue).c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: brandcheck FILE SIZE [KEY...]\n");
        return 2;
    }
    HMODULE hModule = LoadLibraryExA(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (!hModule)
        return Fail("LoadLibraryEx");
    int rc = CheckIcon(hModule, atoi(argv[2]));
    FreeLibrary(hModule);
    if (rc == 0)
        rc = CheckVersion(argv[1], argc - 3, argv + 3);
    fflush(stdout);
    return rc;
}
