// The category extension lists and the classification of a file name.
#pragma once

#include <string>

extern const char* const g_szPictureExt;
extern const char* const g_szMusicExt;
extern const char* const g_szVideoExt;
extern const char* const g_szOfficeExt;
extern const char* const g_szArchiveExt;
extern const char* const g_szOfficeArchiveExt;
extern const char* const g_szOtherExt;

extern const wchar_t* const g_wszPictureExt;
extern const wchar_t* const g_wszMusicExt;
extern const wchar_t* const g_wszVideoExt;
extern const wchar_t* const g_wszOfficeExt;
extern const wchar_t* const g_wszArchiveExt;
extern const wchar_t* const g_wszOfficeArchiveExt;
extern const wchar_t* const g_wszOtherExt;

enum FileCategory {
    CATEGORY_PHOTO = 0,
    CATEGORY_MUSIC,
    CATEGORY_OFFICE,
    CATEGORY_VIDEO,
    CATEGORY_ARCHIVE,
    CATEGORY_OTHER,
};

// The list a key (".ext", lower case) was found in, in the order of a user.
enum ExtensionList {
    LIST_NONE = -1,
    LIST_PHOTO = 0,
    LIST_MUSIC,
    LIST_OFFICE,
    LIST_VIDEO,
    LIST_ARCHIVE,
    LIST_OFFICE_ARCHIVE,
};

// ".ext" of a file name, lower-cased (ASCII); empty when the name has no
// dot or an extension of fewer than 2 characters (not classified).
std::string GetClassKey(const char* szFileName);

// Tree grouping and table lookup: Photo, Music, Office, Video, Archive
// (also the office-and-archive list); none gives Other.
FileCategory GetFileCategory(const char* szFileName);
// Recovery folder: "photo", "audio", "video", "document", "archive", "others".
const char* GetCategoryFolderName(const char* szFileName);
// Category icon resource name.
const char* GetCategoryIconName(const char* szFileName);
// Display name of a category: its folder name capitalised ("Photo",
// "Audio", "Video", "Document", "Archive", "Others").
const char* GetCategoryName(FileCategory c);
// The listing's search pattern for the chosen categories (indexed by
// FileCategory), in the order Photo, Music, Office, Video, Archive (with
// the office-and-archive list), Other.
std::wstring GetSearchPattern(const bool bWanted[6]);
// True when the key of the name is found in the picture list.
bool IsPictureFileName(const char* szFileName);
