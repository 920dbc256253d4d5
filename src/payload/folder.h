/*
 * The extraction folder's protection: its owner and descriptor, and how
 * the worker makes or takes the folder and holds it (folder.cpp).
 */
#ifndef PAYLOAD_FOLDER_H
#define PAYLOAD_FOLDER_H

#include <windows.h>
#include <stddef.h>

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

/* Makes the extraction folder pszFolder (its NT path pwszNtFolder) with
 * the launcher's descriptor and holds it open in *phFolder, or reuses one
 * an elevated run made (a folder somebody else made is cleared and made
 * afresh), its final path in wszFinalFolder.  Shows the error itself and
 * returns FALSE when it cannot.  When the folder cannot be made at all
 * (TEMP missing), returns TRUE with *phFolder NULL and the reason in
 * *pnFolderErrno, for the first record's file to report. */
BOOL OpenExtractionFolder(const char *pszFolder, const WCHAR *pwszNtFolder,
                          WCHAR *wszFinalFolder, HANDLE *phFolder, int *pnFolderErrno);

/* Closes the held folder's handle, if open, and sets it to NULL. */
void CloseHeldFolder(HANDLE *phFolder);

/* Removes the held folder through its handle (when empty and held with
 * DELETE access) and closes it. */
void RemoveHeldFolder(HANDLE *phFolder);

/* The C runtime's errno for a system error of creating a file. */
int ErrnoFromSystemError(DWORD dwError);

#endif /* PAYLOAD_FOLDER_H */
