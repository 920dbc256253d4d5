// Checks of the launcher's pure rules compiled by the Windows toolchain
// and run under Wine, where they can fail for reasons the native unit tests
// cannot see: the progress formula's single-precision rounding in the
// 32-bit build (the positions per length are checked natively and, through
// the real copy loop, by e2e.unpack), and the argument string rule against
// the real IsDBCSLeadByte of a double-byte code page (the single-byte cases
// are checked natively, and through the real command line by e2e.launch).
//   unit_checks.exe [--expect-acp N]
// Prints one line per failure and "N passed, M failed"; exit 1 on failure.
#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

#include "../../src/payload/container.h"
#include "../../src/payload/folder.h"
#include "../../src/run/launcher.h"

static int g_passed, g_failed;

static void Check(bool ok, const std::string &what)
{
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        printf("FAILED: %s\n", what.c_str());
    }
}

static void CheckArgs(const char *pszCmdLine, const char *pszExpected)
{
    const char *got = SkipProgramName(pszCmdLine);
    Check(strcmp(got, pszExpected) == 0,
          std::string("arguments of [") + pszCmdLine + "]: got [" + got + "], expected [" +
              pszExpected + "]");
}

// The extraction folder's descriptor: the one asked for, and which
// existing folders count as made by an elevated run.
static void CheckFolderDescriptor(const char *pszSddl, const char *pszOwner, bool fExpected)
{
    PSECURITY_DESCRIPTOR pSD = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(pszSddl, SDDL_REVISION_1, &pSD, NULL)) {
        Check(false, std::string("SDDL not understood: ") + pszSddl);
        return;
    }
    Check((IsOwnFolderDescriptor(pSD, pszOwner) != FALSE) == fExpected,
          std::string(pszSddl) + (fExpected ? " is " : " is not ") + "the folder of " + pszOwner);
    LocalFree(pSD);
}

static void CheckFolderDescriptors()
{
    const char *pszUser = "S-1-5-21-1004336348-1177238915-682003330-1001";
    char szSddl[FOLDER_SDDL_SIZE];
    FormatFolderSddl(szSddl, sizeof(szSddl), "BA");
    Check(strcmp(szSddl, "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)") == 0,
          std::string("descriptor asked for: ") + szSddl);
    CheckFolderDescriptor(szSddl, "BA", true);
    FormatFolderSddl(szSddl, sizeof(szSddl), pszUser);
    CheckFolderDescriptor(szSddl, pszUser, true);
    CheckFolderDescriptor(szSddl, "BA", false);
    // What TEMP hands down, a user's own folder, and near misses.
    CheckFolderDescriptor("O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", "BA", false);
    CheckFolderDescriptor("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;BU)", "BA", false);
    CheckFolderDescriptor("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;FA;;;CO)", "BA", false);
    CheckFolderDescriptor("O:BAD:P(D;OICI;FA;;;WD)(A;OICI;FA;;;BA)", "BA", false);
    CheckFolderDescriptor("O:BAD:NO_ACCESS_CONTROL", "BA", false);
    // Not exactly the launcher's: an empty DACL, entries the folder's
    // files would not inherit, less than full control, one entry twice.
    CheckFolderDescriptor("O:BAD:P", "BA", false);
    CheckFolderDescriptor("O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)", "BA", false);
    CheckFolderDescriptor("O:BAD:P(A;OICI;FR;;;SY)(A;OICI;FA;;;BA)", "BA", false);
    CheckFolderDescriptor("O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;BA)", "BA", false);
    CheckFolderDescriptor("O:S-1-5-21-1004336348-1177238915-682003330-1001"
                          "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", "BA", false);
}

int main(int argc, char **argv)
{
    CheckFolderDescriptors();

    Check(ProgressPosition(16777219, (float)16777219) == 1, "first position of 16,777,219 bytes is 1");
    Check(ProgressPosition(16777217, (float)16777217) == 0, "first position of 16,777,217 bytes is 0");

    if (argc == 3 && strcmp(argv[1], "--expect-acp") == 0) {
        UINT acp = (UINT)strtoul(argv[2], NULL, 10);
        Check(GetACP() == acp, "code page is " + std::to_string(GetACP()) + ", expected " + argv[2]);
        if (acp == 932) {
            // 0x82 0xA0 is one double-byte character; a lead byte at the
            // very end must not carry the terminating NUL away.
            CheckArgs("a\x82\xA0 b", "b");
            CheckArgs("setup\x82", "");
            CheckArgs("\"x\x82\" y\" z", "z");
        }
    }

    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed ? 1 : 0;
}
