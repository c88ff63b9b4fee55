// A deleted folder's later clusters, put back into the folder.
//
// Once a folder's cluster chain is gone, its later clusters are directory
// sectors without "." and ".." entries, and would each become a lost folder
// of their own. A folder grows while its files are written: each new
// cluster is taken right where the data of the file listed last ends, and
// the entries in it are no older than that file. A cluster whose entries
// are all deleted and that lies exactly there is taken back into the
// folder, after a cluster of it that is full; a cluster that disagrees
// (live entries, older entries, a first file that follows no full cluster,
// or two) stays a lost folder.
#pragma once

#include <map>

#include "core/Records.h"

class CFatDirContinuation {
public:
    // The folder whose entries a directory buffer of cluster c holds (a
    // sector, or a sector joined to the long-name entries before it):
    // owner, as the caller found it, unless that is c itself and c continues
    // a folder. bFirst: the buffer starts cluster c. The buffer's last entry
    // is noted for the clusters that may follow.
    u32 Owner(u32 c, u32 owner, bool bFirst, const unsigned char* buf, int len, u32 bytesPerCluster);
    void Clear();

private:
    struct Last {
        u32 owner = 0;
        u32 end = 0;    // the cluster after the last entry's data
        u32 stamp = 0;  // its creation date and time
        bool open = false;  // a free slot seen: the folder needed no further cluster
    };
    std::map<u32, u32> m_taken;   // continuing cluster -> folder
    std::map<u32, Last> m_last;   // directory cluster -> its last entry so far
    std::map<u32, u32> m_endsAt;  // Last::end -> directory cluster
};
