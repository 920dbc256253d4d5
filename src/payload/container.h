/*
 * The container: the launcher's own executable image with the files it
 * unpacks appended behind it.
 *
 *   offset 0          +--------------------------------------------+
 *                     | launcher image, exactly PAYLOAD_OFFSET     |
 *                     | bytes; its last section's raw data runs up |
 *                     | to the payload                             |
 *   PAYLOAD_OFFSET    +--------------------------------------------+
 *   (0x20000)         | record header (RECORD_HEADER_SIZE = 1024)  |
 *                     |   +0     int32 LE  nSize   data length     |
 *                     |   +4     char[1020] szName NUL-terminated  |
 *                     +--------------------------------------------+
 *                     | nSize bytes of file data, stored verbatim  |
 *                     +--------------------------------------------+
 *                     | ... further records, back to back, no      |
 *                     |     alignment between them ...             |
 *                     +--------------------------------------------+
 *                     | end record: a header with nSize == -1      |
 *                     +--------------------------------------------+
 *                     | optional trailing data, never read: in a   |
 *                     | signed container, zeros to a multiple of 8 |
 *                     | and the certificate table that the image's |
 *                     | security directory points to               |
 *                     +--------------------------------------------+
 *
 * The first record is the program that is launched after extraction.
 * There is no magic number, version, checksum, count or index.  A reader
 * also ends the payload normally when a header read comes up short, so a
 * container without an end record reads as complete.
 *
 * Both the launcher and the container tool include this header: keep it
 * plain C++ that MSVC and GCC accept alike.
 */
#ifndef PAYLOAD_CONTAINER_H
#define PAYLOAD_CONTAINER_H

#include <stddef.h>

#define PAYLOAD_OFFSET      0x20000L    /* length of the launcher image */
#define RECORD_HEADER_SIZE  1024        /* one record header */
#define RECORD_NAME_OFFSET  4           /* name field within the header */
#define RECORD_NAME_SIZE    1020        /* name field, NUL included */
#define COPY_CHUNK_SIZE     65536       /* data is copied in chunks of this */
#define END_RECORD_SIZE     (-1)        /* nSize of the end record */
#define MAX_RECORD_DATA     0x7FFFFFFFL /* largest valid nSize */

/* The header as it lies in the file.  nSize is little-endian, which is
 * also the byte order of every machine the launcher runs on. */
typedef struct PayloadRecordHeader
{
    int  nSize;
    char szName[RECORD_NAME_SIZE];
} PayloadRecordHeader;

typedef char PayloadRecordHeaderSizeCheck[
    sizeof(PayloadRecordHeader) == RECORD_HEADER_SIZE ? 1 : -1];
typedef char PayloadRecordNameOffsetCheck[
    offsetof(PayloadRecordHeader, szName) == RECORD_NAME_OFFSET ? 1 : -1];

/* Name of the extraction folder below TEMP, with its leading and trailing
 * backslash: records land in TEMP + EXTRACT_FOLDER_NAME + szName. */
#define EXTRACT_FOLDER_NAME "\\{d450fba2-45d7-40b4-8eea-5c03a9e087b0}\\"

/*
 * Tells whether a byte starts a two-byte character in the ANSI code page
 * the name will be read in.  Double-byte code pages (932, 936, 949, 950)
 * have trail bytes such as 0x5C and 0x7C, which are part of the character
 * and not a backslash or a bar.
 */
typedef int (*LeadByteTest)(unsigned char ch);

/*
 * The file name rule shared by the launcher and the container tool.  A
 * record name is accepted only as a plain Windows file name: NUL-terminated
 * within its field of cbField bytes, not empty, none of \ / : * ? " < > |
 * nor characters below 32, not "." or "..", not ending in a dot or a blank,
 * and not a device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, also
 * with the superscript digits 0xB9, 0xB2, 0xB3, with or without an
 * extension).  Anything else could place a file outside the
 * extraction folder or open a device instead of a file.  The device names
 * are compared on the bytes here, which misses a superscript that the
 * code page writes with other bytes: whoever knows the code page also
 * applies IsDeviceNameText to the name as text.
 * The name is walked by characters of the code page that pfnIsLeadByte
 * describes (NULL: a single-byte code page): a lead byte carries its trail
 * byte, and a lead byte before the NUL or before any other byte below
 * 0x40 (no trail byte in any code page) is no character at all.
 * Returns nonzero when the name is acceptable.
 */
int IsPlainFileName(const char *pchField, size_t cbField, LeadByteTest pfnIsLeadByte);

/*
 * The device rule on a name as the file system reads it: cch UTF-16 code
 * units, no NUL needed.  The part before the first dot, without blanks at
 * its end, is CON, PRN, AUX, NUL, COM or LPT and a digit 1-9 or one of the
 * superscripts U+00B9, U+00B2, U+00B3, in ASCII letters of either case.
 * In code page 949 the bytes "COM" A9 F6, in UTF-8 "COM" C2 B9, are the
 * text "COM" U+00B9, and Windows opens the serial port COM1 for it in any
 * folder, whatever the bytes were.
 * Returns nonzero for a device name.
 */
int IsDeviceNameText(const unsigned short *pwchName, size_t cch);

/*
 * Progress bar position, 0 to 100, sent before each chunk of a record's
 * data: 100 minus the truncated percentage of the data still to copy.  The
 * quotient is rounded to single precision from the exact dividend, which
 * is why lengths above 2^24 may start at 1 instead of 0; fSize is the
 * record's length converted to float once per file.
 */
int ProgressPosition(int nRemaining, float fSize);

#endif /* PAYLOAD_CONTAINER_H */
