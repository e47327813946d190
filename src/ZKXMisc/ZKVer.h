/**
 * @file ZKVer.h
 * @brief Versions: the installation's version stamp and the ordering of the
 * product's version strings.
 */
#ifndef ZKX_ZKVER_H
#define ZKX_ZKVER_H

#include "ZKPlatform.h"

/**
 * @brief Orders two version strings part by part ("2.10.3b" against "2.9").
 *
 * Parts are separated by '.'; a part's digits form a number that outweighs
 * its letters (1.2 < 1.2a < 1.2b < 1.3, 1.9 < 1.10), spaces are skipped, and
 * a missing part counts as 0 (1.2 equals 1.2.0).
 * @param pszVersion1 First version, at most 255 characters.
 * @param pszVersion2 Second version, at most 255 characters.
 * @param pnResult    Receives -1, 0 or 1 as version 1 is lower than, equal
 *                    to or higher than version 2; 0 on failure.
 * @return 0; 87 (ERROR_INVALID_PARAMETER) when a part that had to be
 *         compared holds another character or its value (computed modulo
 *         2^32) is 0xFFFFFFFF, when a string is longer than 255 characters,
 *         or when an argument is null.
 */
ZKEXTERN DWORD ZKAPI ZKCompareVersion(LPCSTR pszVersion1, LPCSTR pszVersion2, LONG* pnResult);

/**
 * @brief The version stamp, as it lies in the version file "zkx.ver" beside the
 * library's own module file: exactly these 8 bytes, no header.
 */
typedef struct _ZKVER_STAMP {
    signed char cNumber1;   /**< first number */
    signed char cNumber2;   /**< second number */
    signed char cNumber3;   /**< third number */
    signed char cNumber4;   /**< fourth number */
    CHAR cSuffix;           /**< 0: no suffix */
    BYTE abReserved[3];     /**< saved and loaded unchanged */
} ZKVER_STAMP, *PZKVER_STAMP;

/** Longest text ZKVer writes, terminator included ("-128.-128.-128.-128x"). */
#define ZKVER_TEXT_SIZE 21

/**
 * @brief Writes a stamp to the version file "zkx.ver" beside the library's
 * module file, replacing it.
 * @param pStamp The stamp.
 * @return pStamp, or null when pStamp is null or the file cannot be written
 *         whole.
 */
ZKEXTERN PZKVER_STAMP ZKAPI ZKVerSave(PZKVER_STAMP pStamp);

/**
 * @brief Reads the first 8 bytes of the version file into a stamp.
 * @param pStamp Caller's stamp.
 * @return pStamp, or null when pStamp is null or the file is missing or
 *         shorter (the bytes read so far then stand in pStamp).
 */
ZKEXTERN PZKVER_STAMP ZKAPI ZKVerLoad(PZKVER_STAMP pStamp);

/**
 * @brief Renders the stored stamp as "1.2.3.4a" (numbers signed, no suffix
 * when it is 0).
 *
 * Texts are never cut, since a shortened version would name another one;
 * ZKVER_TEXT_SIZE bytes always suffice.
 * @param pszBuffer Caller's buffer.
 * @param nSize     Its size in bytes.
 * @return pszBuffer; null when nSize is below 13 (buffer untouched), or,
 *         with the buffer's nSize bytes zeroed, when the stamp cannot be
 *         loaded or its text does not fit.
 */
ZKEXTERN LPSTR ZKAPI ZKVer(LPSTR pszBuffer, INT nSize);

#endif
