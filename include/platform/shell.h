// Shell-style file operations: whole-tree copy, move and delete, the user's
// trash, and a replacing file copy. Paths take either separator; relative
// paths are taken in the working folder.
//
// Trees are walked without following symbolic links: a link is copied,
// moved or deleted as a link. Every call returns TRUE on success, or FALSE
// with the thread's last error set.
#pragma once

#include "platform/types.h"

// Copies a file, replacing to. The copy is written beside to and renamed
// over it, so a failed copy leaves an existing destination as it was.
GAVIO_PLATFORM_API BOOL GavioCopyFile(const char* from, const char* to);

// Copies a file or folder tree. When to is an existing folder the source
// goes inside it under its own name; otherwise to becomes the copy (files
// replace files; folders merge into folders). Copying a folder into itself
// fails with ERROR_INVALID_PARAMETER.
GAVIO_PLATFORM_API BOOL GavioShellCopy(const char* from, const char* to);
// Copies the entries of folder from into folder to (created when missing),
// merging into what to holds.
GAVIO_PLATFORM_API BOOL GavioShellCopyContents(const char* from, const char* to);
// Moves like GavioShellCopy places; across file systems it copies and then
// deletes the source.
GAVIO_PLATFORM_API BOOL GavioShellMove(const char* from, const char* to);
// Deletes a file, a link or a folder tree for good.
GAVIO_PLATFORM_API BOOL GavioShellDelete(const char* path);
// Moves a file or folder to the user's trash: the freedesktop Trash folder
// "$XDG_DATA_HOME/Trash" (else ~/.local/share/Trash), with its entry in
// files/ and a restore record "info/<name>.trashinfo" (original path and
// deletion date), so desktop tools can restore it.
GAVIO_PLATFORM_API BOOL GavioMoveToTrash(const char* path);
