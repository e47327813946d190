/**
 * @file ZKEnv.h
 * @brief Installation settings: the environment record (OEM type, product
 * name).
 */
#ifndef ZKX_ZKENV_H
#define ZKX_ZKENV_H

#include "ZKPlatform.h"

#define ZKMISC_ENV_LEVEL 1u             /**< the only information level */
#define ZKMISC_OEMTYPE_UNKNOWN 0xFFFFFFFFu /**< an OEM type not known */
#define ZKMISC_PRODUCTNAME_SIZE 128u     /**< bytes of the product name field */

/**
 * @brief The record callers allocate: 140 bytes, its layout fixed by level 1.
 * A result field says how reading its value went: 0 read, 232
 * (ERROR_NO_DATA) not stored, else the registry's code.  An unknown OEM
 * type is 0xFFFFFFFF; an unknown product name begins with four bytes 0xFF.
 * In a record given to the setter, unknown means "leave as it is"; clear
 * the name field before copying a short name into it, or the 0xFF bytes
 * left behind its terminator still mark it unknown.
 */
typedef struct _ZKMISC_ENVIRONMENT {
    DWORD dwOemTypeResult;                      /**< how reading dwOemType went */
    DWORD dwOemType;                            /**< 0 or 1 */
    DWORD dwProductNameResult;                  /**< how reading szProductName went */
    CHAR szProductName[ZKMISC_PRODUCTNAME_SIZE]; /**< zero-terminated */
} ZKMISC_ENVIRONMENT, *PZKMISC_ENVIRONMENT;

/**
 * @brief Copies the process's cached environment record.
 *
 * Values not known yet are read from "ZKOemType" (REG_DWORD) and
 * "ZKProductName" (REG_SZ) in the settings key; once read they are kept
 * for the life of the process.  Any number of threads may get the record at
 * once, also while a value is still unknown; each such get reads the
 * registry on its own.
 * @param dwLevel Information level; ZKMISC_ENV_LEVEL.
 * @param pEnv    Caller's record.
 * @param pdwSize In: size of the caller's record; set to 140 when smaller.
 * @return 0; 1 neither value is available; 87 pEnv or pdwSize null; 122
 *         *pdwSize below 140; 124 level other than 1; or the registry's code
 *         of the last read made in this call when it failed.
 */
ZKEXTERN DWORD ZKAPI ZKMiscGetEnvironment(DWORD dwLevel, PZKMISC_ENVIRONMENT pEnv,
                                          LPDWORD pdwSize);

/**
 * @brief Stores the known fields of a record (the result fields are
 * ignored).  Never creates the settings key, and leaves this process's
 * cached record alone.
 * @param dwLevel    Information level; ZKMISC_ENV_LEVEL.
 * @param pEnv       The record.
 * @param dwReserved Must be 0.
 * @return 0; 5 the key cannot be opened to store the OEM type (the name is
 *         then not stored either); 13 OEM type other than 0, 1 or unknown,
 *         nothing stored; 87 dwReserved not 0, pEnv null, or a product name
 *         without a terminator in its 128 bytes, nothing stored; 124 level
 *         other than 1; 232 the key cannot be opened to store the name; or
 *         the registry's code of the last store.
 */
ZKEXTERN DWORD ZKAPI ZKMiscSetEnvironment(DWORD dwLevel, const ZKMISC_ENVIRONMENT* pEnv,
                                          DWORD dwReserved);

#endif
