/*
 * The two rules of the container that the launcher and the container tool
 * must apply identically: which record names are acceptable, and where the
 * progress bar stands before each chunk.
 */
#include "container.h"

#define MIN_TRAIL_BYTE 0x40     /* lowest trail byte of 932, 936, 949, 950 */

/* Windows takes the superscripts 1, 2 and 3 of Latin-1 (0xB9, 0xB2, 0xB3,
 * as in code page 1252) for digits too: "COM\xB9" is a serial port in
 * every folder.  In other code pages these bytes are letters, and such a
 * name is refused although it would be harmless. */
static int IsPortDigit(unsigned char ch)
{
    return (ch >= '1' && ch <= '9') || ch == 0xB9 || ch == 0xB2 || ch == 0xB3;
}

static int IsDeviceName(const char *pszName)
{
    static const char *const rgszDevices[] = { "CON", "PRN", "AUX", "NUL" };
    size_t cchBase = 0;
    size_t i;

    /* The device is named by the part before the first dot; Windows also
     * ignores blanks at its end ("CON .txt" opens the console). */
    while (pszName[cchBase] != '\0' && pszName[cchBase] != '.')
        cchBase++;
    while (cchBase > 0 && pszName[cchBase - 1] == ' ')
        cchBase--;

    for (i = 0; i < sizeof(rgszDevices) / sizeof(rgszDevices[0]); i++)
    {
        const char *pszDevice = rgszDevices[i];
        size_t j = 0;

        if (cchBase != 3)
            break;
        while (j < 3 && (pszName[j] & ~0x20) == pszDevice[j])
            j++;
        if (j == 3)
            return 1;
    }

    if (cchBase == 4 && IsPortDigit((unsigned char)pszName[3]))
    {
        char c0 = (char)(pszName[0] & ~0x20);
        char c1 = (char)(pszName[1] & ~0x20);
        char c2 = (char)(pszName[2] & ~0x20);

        if ((c0 == 'C' && c1 == 'O' && c2 == 'M') || (c0 == 'L' && c1 == 'P' && c2 == 'T'))
            return 1;
    }
    return 0;
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
