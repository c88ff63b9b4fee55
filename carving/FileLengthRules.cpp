#include "carving/FileLengthRules.h"

FR_LENGTH_RULE(GetMPGFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetMP4FileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetRMVBFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetASFFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetSWFFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetAVIFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetDefaultVedioFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetMKVFileBytes) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetTSFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetMP3FileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetMIDFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetAPEFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetWAVFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetDefaultAudioFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetFLAFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetGIFFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetBMPFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetJPGFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetPNGFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetDefaultPictureFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetICOFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetOFFICE2003FileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetOFFICE2003FileBytesSizeByFileHead) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetOFFICE2007FileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetPDFFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(Get7ZFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetZIPFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetRARFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetCABFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetDBFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetMailFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

FR_LENGTH_RULE(GetTTFFileBytesSize) {
    (void)buf;
    (void)len;
    return static_cast<unsigned long long>(judge.m_nBytesPerSector);
}

int IsEndOfFile(CFileTypeJudge&, const unsigned char*, int, unsigned long long&) { return 0; }
int IsEndOfVedioFile(CFileTypeJudge&, const unsigned char*, int, unsigned long long&) { return 0; }
int IsEndOfMPGFile(CFileTypeJudge&, const unsigned char*, int, unsigned long long&) { return 0; }
unsigned long long GetJPGFileTailOffset(const unsigned char*, int, int) { return 0; }
unsigned long long GetPNGFileTailOffset(const unsigned char*, int, int) { return 0; }
