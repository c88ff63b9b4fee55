// Boot-sector tests that decide which file system a partition holds. Each
// takes the partition's first bytes; IsExt reads up to byte 1112, the others
// the first 512.
#pragma once

bool IsNtfs(const unsigned char* p);
bool IsFat(const unsigned char* p);
bool IsExt(const unsigned char* p);
// An exFAT boot sector: its name, the zeroed legacy fields and the signature
// (the region checksum is the rules layer's).
bool IsExfat(const unsigned char* p);
bool IsBitlockerDBR(const unsigned char* p);
bool IsFullValidFAT16DBR(const unsigned char* p);
bool IsFullValidFAT32DBR(const unsigned char* p);
