/*
 * The two rules of the container that the launcher and the container tool
 * must apply identically: which record names are acceptable, and where the
 * progress bar stands before each chunk.
 */
#include "container.h"

#define MIN_TRAIL_BYTE 0x40     /* lowest trail byte of 932, 936, 949, 950 */

/* The devices Windows finds under a name in every folder; '#' stands for a
 * port digit.  The byte rule and the text rule both read this list. */
static const char *const rgszDevices[] = { "CON", "PRN", "AUX", "NUL", "COM#", "LPT#" };

/* Windows takes the superscripts one, two and three (U+00B9, U+00B2,
 * U+00B3) for digits too: "COM" and U+00B9 is a serial port in every
 * folder.  As bytes these are 0xB9, 0xB2, 0xB3, their Latin-1 (and code
 * page 1252) encoding; in other code pages these bytes are letters, and
 * such a name is refused although it would be harmless. */
static int IsPortDigit(unsigned short wch)
{
    return (wch >= '1' && wch <= '9') || wch == 0xB9 || wch == 0xB2 || wch == 0xB3;
}

/* Whether the cchBase units at pwchBase, the part of a name before its
 * first dot without the blanks at its end, name a device.  ASCII letters
 * match in either case: clearing bit 0x20 turns only 'c' into 'C', and so
 * on, never another character. */
static int IsDeviceBase(const unsigned short *pwchBase, size_t cchBase)
{
    size_t i;

    for (i = 0; i < sizeof(rgszDevices) / sizeof(rgszDevices[0]); i++)
    {
        const char *pszDevice = rgszDevices[i];
        size_t j = 0;

        while (j < cchBase && pszDevice[j] != '\0'
               && (pszDevice[j] == '#' ? IsPortDigit(pwchBase[j])
                                       : (pwchBase[j] & ~0x20) == (unsigned char)pszDevice[j]))
            j++;
        if (j == cchBase && pszDevice[j] == '\0')
            return 1;
    }
    return 0;
}

/* The length of the part of a name that names the device: up to the first
 * dot (the name's end where there is none), less blanks at its end, which
 * Windows ignores ("CON .txt" opens the console). */
static size_t DeviceBaseLength(const unsigned short *pwchName, size_t cch)
{
    size_t cchBase = 0;

    while (cchBase < cch && pwchName[cchBase] != '.')
        cchBase++;
    while (cchBase > 0 && pwchName[cchBase - 1] == ' ')
        cchBase--;
    return cchBase;
}

int IsDeviceNameText(const unsigned short *pwchName, size_t cch)
{
    return IsDeviceBase(pwchName, DeviceBaseLength(pwchName, cch));
}

/* The device rule on the bytes of a name, with the same part of the name
 * as IsDeviceNameText: each byte stands for the character of the same
 * value, so 0xB9 reads as U+00B9.  A device is named by at most four
 * characters, so only a base that short is widened. */
static int IsDeviceName(const char *pszName)
{
    unsigned short rgwchBase[4];
    size_t cchBase = 0;
    size_t i;

    while (pszName[cchBase] != '\0' && pszName[cchBase] != '.')
        cchBase++;
    while (cchBase > 0 && pszName[cchBase - 1] == ' ')
        cchBase--;
    if (cchBase > sizeof(rgwchBase) / sizeof(rgwchBase[0]))
        return 0;
    for (i = 0; i < cchBase; i++)
        rgwchBase[i] = (unsigned char)pszName[i];
    return IsDeviceBase(rgwchBase, cchBase);
}

int IsPlainFileName(const char *pchField, size_t cbField, LeadByteTest pfnIsLeadByte)
{
    size_t cch = 0;
    size_t i;
    int fLastIsSingleByte = 1;

    while (cch < cbField && pchField[cch] != '\0')
        cch++;
    if (cch == cbField || cch == 0)
        return 0;   /* no terminating NUL within the field, or empty */

    for (i = 0; i < cch; i++)
    {
        unsigned char ch = (unsigned char)pchField[i];

        if (pfnIsLeadByte && pfnIsLeadByte(ch))
        {
            /* No double-byte code page has trail bytes below 0x40: a lead
             * byte before the NUL, a control character or one of / : * ?
             * " < > is no character, and the system's conversion would
             * drop that byte or turn it into something else. */
            if ((unsigned char)pchField[i + 1] < MIN_TRAIL_BYTE)
                return 0;
            i++;            /* the trail byte belongs to the character */
            fLastIsSingleByte = 0;
            continue;
        }
        fLastIsSingleByte = 1;
        if (ch < 32)
            return 0;
        switch (ch)
        {
        case '\\': case '/': case ':': case '*': case '?':
        case '"': case '<': case '>': case '|':
            return 0;
        }
    }

    /* Also rules out "." and "..". */
    if (fLastIsSingleByte && (pchField[cch - 1] == '.' || pchField[cch - 1] == ' '))
        return 0;

    return !IsDeviceName(pchField);
}

int ProgressPosition(int nRemaining, float fSize)
{
    /* Divide the exact remaining count, then round the quotient to single
     * precision: converting nRemaining to float first would lose the low
     * bits of lengths above 2^24.  The product q * 100 is exact in double,
     * so only the truncation decides the percentage. */
    float q = (float)((double)nRemaining / (double)fSize);
    int nPercent = (int)((double)q * 100.0);

    return 100 - nPercent;
}
