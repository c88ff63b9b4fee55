// Shared pieces of the command-line tool.
#pragma once

#include <string>
#include <vector>

#include "core/Records.h"

struct CliDisk {
    int nDiskNumber;
    std::string strPath;
    std::vector<_PARTITION_ITEM_> parts;
};

std::vector<CliDisk> EnumerateDisks(const std::vector<std::string>& images);
int CmdDisks(const std::vector<std::string>& args);
