/* Versions: the installation's version stamp and the ordering of the
 * product's version strings. */
#ifndef ZKX_ZKVER_H
#define ZKX_ZKVER_H

#include "ZKPlatform.h"

/*
 * Orders two version strings part by part ("2.10.3b" against "2.9").  Parts
 * are separated by '.'; a part's digits form a number that outweighs its
 * letters (1.2 < 1.2a < 1.2b < 1.3, 1.9 < 1.10), spaces are skipped, and a
 * missing part counts as 0 (1.2 equals 1.2.0).
 *
 * On 0, *pnResult is -1, 0 or 1 as version 1 is lower than, equal to or
 * higher than version 2.  87 (ERROR_INVALID_PARAMETER), with *pnResult 0,
 * when a part that had to be compared holds another character, when a
 * string is longer than 255 characters, or when an argument is null.
 */
ZKEXTERN DWORD ZKAPI ZKCompareVersion(LPCSTR pszVersion1, LPCSTR pszVersion2, LONG* pnResult);

/*
 * The version stamp, as it lies in the version file "zkx.ver" beside the
 * library's own module file: exactly these 8 bytes, no header.
 */
typedef struct _ZKVER_STAMP {
    signed char cNumber1;
    signed char cNumber2;
    signed char cNumber3;
    signed char cNumber4;
    CHAR cSuffix;           /* 0: no suffix */
    BYTE abReserved[3];     /* saved and loaded unchanged */
} ZKVER_STAMP, *PZKVER_STAMP;

/* Longest text ZKVer writes, terminator included ("-128.-128.-128.-128x"). */
#define ZKVER_TEXT_SIZE 21

/* Writes the stamp to the version file, replacing it.  pStamp, or null
 * when pStamp is null or the file cannot be written whole. */
ZKEXTERN PZKVER_STAMP ZKAPI ZKVerSave(PZKVER_STAMP pStamp);

/* Reads the first 8 bytes of the version file into pStamp.  pStamp, or
 * null when pStamp is null or the file is missing or shorter (the bytes
 * read so far then stand in pStamp). */
ZKEXTERN PZKVER_STAMP ZKAPI ZKVerLoad(PZKVER_STAMP pStamp);

/*
 * Renders the stored stamp as "1.2.3.4a" (numbers signed, no suffix when it
 * is 0) into pszBuffer.  Null when nSize is below 13 (buffer untouched),
 * or, with the buffer's nSize bytes zeroed, when the stamp cannot be loaded
 * or its text does not fit: texts are never cut, since a shortened version
 * would name another one.  ZKVER_TEXT_SIZE bytes always suffice.
 */
ZKEXTERN LPSTR ZKAPI ZKVer(LPSTR pszBuffer, INT nSize);

#endif
