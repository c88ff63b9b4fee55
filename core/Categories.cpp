#include "Categories.h"
#include "core/TextHelpers.h"

#include <cstring>
#include <initializer_list>

#define FR_PICTURE_EXT                                                                              \
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|" \
    "*.sr2|*.arw|*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|"  \
    "*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm|*.icns|*.rw2|*.heic|*.heif|"  \
    "*.avif|*.cr3|*.webp|"
#define FR_MUSIC_EXT                                                                            \
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|" \
    "*.amr|*.at3|*.caf|*.dss|*.m4r|*.nra|*.snd|*.aif|*.oga|*.opus|*.flac|*.mp2|*.mp1"
#define FR_VIDEO_EXT                                                                               \
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|*.3g2|" \
    "*.m4b|*.mkv|*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|"     \
    "*.mod|*.mxf|*.lrv|*.webm|"
#define FR_OFFICE_EXT                                                                             \
    "*.doc|*.xls|*.ppt|*.odt|*.ods|*.pdf|*.docx|*.xlsx|*.pptx|*.ole|*.txt|*.xml|*.chm|*.htm|"    \
    "*.html|*.pst|*.dbx|*.wps|*.dps|*.et|*.one|*.mpp|*.mdb|*.accdb"
#define FR_ARCHIVE_EXT \
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso|*.exe|*.dmg|*.xz|"
#define FR_OFFICE_ARCHIVE_EXT                                                                       \
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|" \
    "*.ppsm|*.odp|*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|"    \
    "*.msg|*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso"
#define FR_OTHER_EXT "*.other"

#define FR_WIDE2(s) L##s
#define FR_WIDE(s) FR_WIDE2(s)

const char* const g_szPictureExt = FR_PICTURE_EXT;
const char* const g_szMusicExt = FR_MUSIC_EXT;
const char* const g_szVideoExt = FR_VIDEO_EXT;
const char* const g_szOfficeExt = FR_OFFICE_EXT;
const char* const g_szArchiveExt = FR_ARCHIVE_EXT;
const char* const g_szOfficeArchiveExt = FR_OFFICE_ARCHIVE_EXT;
const char* const g_szOtherExt = FR_OTHER_EXT;

const wchar_t* const g_wszPictureExt = FR_WIDE(FR_PICTURE_EXT);
const wchar_t* const g_wszMusicExt = FR_WIDE(FR_MUSIC_EXT);
const wchar_t* const g_wszVideoExt = FR_WIDE(FR_VIDEO_EXT);
const wchar_t* const g_wszOfficeExt = FR_WIDE(FR_OFFICE_EXT);
const wchar_t* const g_wszArchiveExt = FR_WIDE(FR_ARCHIVE_EXT);
const wchar_t* const g_wszOfficeArchiveExt = FR_WIDE(FR_OFFICE_ARCHIVE_EXT);
const wchar_t* const g_wszOtherExt = FR_WIDE(FR_OTHER_EXT);

std::string GetClassKey(const char* szFileName) {
    if (!szFileName) return {};
    const std::string ext = LowerAscii(ExtensionOf(szFileName));
    if (ext.size() < 2) return {};
    return "." + ext;
}

static bool InList(const std::string& key, const char* list) {
    return !key.empty() && strstr(list, key.c_str()) != nullptr;
}

// Whether the key is a whole item of a list, not only the start of a longer
// extension (".fla" is Flash, not the start of ".flac").
static bool HasItem(const std::string& key, const char* list) {
    if (key.empty()) return false;
    const std::string item = "*" + key;
    for (const char* p = strstr(list, item.c_str()); p; p = strstr(p + 1, item.c_str()))
        if (p[item.size()] == '|' || p[item.size()] == 0) return true;
    return false;
}

// The first list, in the given order, that holds the key as a whole item,
// else the first that holds it at all; -1 for none.
static int FirstList(const std::string& key, std::initializer_list<const char*> lists) {
    for (bool (*match)(const std::string&, const char*) : {HasItem, InList}) {
        int i = 0;
        for (const char* l : lists) {
            if (match(key, l)) return i;
            ++i;
        }
    }
    return -1;
}

static ExtensionList FindList(const std::string& key) {
    if (key.empty()) return LIST_NONE;
    return static_cast<ExtensionList>(FirstList(key, {g_szPictureExt, g_szMusicExt, g_szOfficeExt, g_szVideoExt,
                                                      g_szArchiveExt, g_szOfficeArchiveExt}));
}

FileCategory GetFileCategory(const char* szFileName) {
    switch (FindList(GetClassKey(szFileName))) {
        case LIST_PHOTO: return CATEGORY_PHOTO;
        case LIST_MUSIC: return CATEGORY_MUSIC;
        case LIST_OFFICE: return CATEGORY_OFFICE;
        case LIST_VIDEO: return CATEGORY_VIDEO;
        case LIST_ARCHIVE:
        case LIST_OFFICE_ARCHIVE: return CATEGORY_ARCHIVE;
        default: return CATEGORY_OTHER;
    }
}

const char* GetCategoryFolderName(const char* szFileName) {
    // Photo, Music, Video, Office, then the two archive lists.
    std::string key = GetClassKey(szFileName);
    static const char* const kFolders[] = {"photo", "audio", "video", "document", "archive", "archive"};
    const int i = FirstList(key, {g_szPictureExt, g_szMusicExt, g_szVideoExt, g_szOfficeExt, g_szArchiveExt,
                                  g_szOfficeArchiveExt});
    return i < 0 ? "others" : kFolders[i];
}

const char* GetCategoryIconName(const char* szFileName) {
    switch (FindList(GetClassKey(szFileName))) {
        case LIST_PHOTO: return ":/image/FileIcon/image.png";
        case LIST_MUSIC: return ":/image/FileIcon/audio_default.png";
        case LIST_OFFICE: return ":/image/FileIcon/office_default.png";
        case LIST_VIDEO: return ":/image/FileIcon/video_default.png";
        case LIST_ARCHIVE: return ":/image/FileIcon/zip.png";
        case LIST_OFFICE_ARCHIVE: return ":/image/FileIcon/office_default.png";
        default: return ":/image/FileIcon/other.png";
    }
}

const char* GetCategoryName(FileCategory c) {
    switch (c) {
        case CATEGORY_PHOTO: return "Photo";
        case CATEGORY_MUSIC: return "Audio";
        case CATEGORY_OFFICE: return "Document";
        case CATEGORY_VIDEO: return "Video";
        case CATEGORY_ARCHIVE: return "Archive";
        default: return "Others";
    }
}

bool IsPictureFileName(const char* szFileName) { return InList(GetClassKey(szFileName), g_szPictureExt); }

std::wstring GetSearchPattern(const bool bWanted[6]) {
    std::wstring pattern;
    if (bWanted[CATEGORY_PHOTO]) pattern += g_wszPictureExt;
    if (bWanted[CATEGORY_MUSIC]) pattern += g_wszMusicExt;
    if (bWanted[CATEGORY_OFFICE]) pattern += g_wszOfficeExt;
    if (bWanted[CATEGORY_VIDEO]) pattern += g_wszVideoExt;
    if (bWanted[CATEGORY_ARCHIVE]) {
        pattern += g_wszArchiveExt;
        pattern += g_wszOfficeArchiveExt;
    }
    if (bWanted[CATEGORY_OTHER]) pattern += g_wszOtherExt;
    return pattern;
}
