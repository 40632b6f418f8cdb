// The image list of file-type icons: one small icon per ExtensionTable entry,
// in the table's order, so that a row's extension index is its image index.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstddef>

// Builds the list from the registry's file-type icons; every table entry adds
// exactly one image, the default icon (shell32's icon 1) wherever its own icon
// cannot be found, and "exe" always the system's application icon. The
// caller owns the list (ImageList_Destroy, or the list view that takes it
// without LVS_SHAREIMAGELISTS). The registry is read here only.
HIMAGELIST buildFileTypeImageList();

// The icon location the registry gives for an extension (without its dot):
// HKLM\SOFTWARE\Classes\.ext names a class; the class's DefaultIcon, or else
// HKCR\CLSID\{class's CLSID}\DefaultIcon, holds "file[,index]". Returns false
// when a key or value on that way is missing, is not text, or is longer than
// the room the lookup gives it (a class name of 63 characters, a location or
// class identifier of 127). `location` is always terminated.
bool fileTypeIconLocation(const wchar_t* extension, wchar_t* location, size_t capacity);

// Splits an icon location at its first comma: the file before it (cut to
// `capacity`), and the signed decimal index after it (leading blanks and a
// sign allowed, reading stops at the first non-digit, no digits read as 0).
// No comma: the whole text is the file and the index is 0. Quotes and
// environment variables are kept as they are.
void splitIconLocation(const wchar_t* location, wchar_t* file, size_t capacity, int* index);
