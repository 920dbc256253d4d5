/*
 * The extraction folder's protection: its owner and descriptor, and how
 * the worker makes or takes the folder and holds it (folder.cpp).
 */
#ifndef PAYLOAD_FOLDER_H
#define PAYLOAD_FOLDER_H

#include <windows.h>
#include <stddef.h>

#include "../run/launcher.h"

/* Capacity of the extraction folder's descriptor in SDDL. */
#define FOLDER_SDDL_SIZE 512

/* Who owns the extraction folder: "BA" (the administrators) when the
 * launcher runs elevated, else the SID of its user.  FALSE on failure. */
BOOL GetFolderOwner(char *szOwner, size_t cchOwner);

/* The descriptor the extraction folder is created with, in SDDL: owned by
 * pszOwner, a DACL not inherited from TEMP that gives full control to
 * SYSTEM and the owner only, inherited by everything in the folder. */
void FormatFolderSddl(char *szSddl, size_t cchSddl, const char *pszOwner);

/* Whether a folder's descriptor is protected the way the launcher makes
 * it: owner pszOwner, a protected DACL that allows nobody but SYSTEM and
 * the owner.  Only such a folder was made by an elevated run. */
BOOL IsOwnFolderDescriptor(PSECURITY_DESCRIPTOR pSD, const char *pszOwner);

/* Makes the extraction folder pszFolder in TEMP (its NT path pwszNtTemp)
 * with the launcher's descriptor and holds it in the run record (hFolder,
 * with TEMP's handle and the folder's identity), or reuses one an
 * elevated run made (a folder somebody else made is cleared and made
 * afresh), its final path in wszFinalFolder.  Shows the error itself and
 * returns FALSE when it cannot, or when another run holds the folder.
 * When the folder cannot be made at all (TEMP missing), returns TRUE with
 * hFolder NULL and the reason in *pnFolderErrno, for the first record's
 * file to report. */
BOOL OpenExtractionFolder(ExtractContext *pContext, const char *pszFolder, const WCHAR *pwszNtTemp,
                          WCHAR *wszFinalFolder, int *pnFolderErrno);

/* Closes a handle, if open, and sets it to NULL. */
void CloseHeldFolder(HANDLE *phFolder);

/* Lets go of the held folder and removes it (when empty) through a handle
 * opened by its name in TEMP, if that is still the folder held; closes
 * TEMP's handle. */
void RemoveHeldFolder(ExtractContext *pContext);

/* The C runtime's errno for a system error of creating a file. */
int ErrnoFromSystemError(DWORD dwError);

#endif /* PAYLOAD_FOLDER_H */
