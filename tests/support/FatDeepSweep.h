// Test stand-in for the deep scan's sweep over a FAT partition: every
// sector that looks like a directory's start or a run of directory entries
// goes to the deep FAT engine, in sector order, and the tree is finished.
#pragma once

#include <cstdint>
#include <string>

class CProfessionalFatRecovery;

namespace testkit {

// Opens image in a fresh deep engine already initialised on it, starts a
// scan (new log), learns the boot record and sweeps all its sectors.
// Returns the number of sectors handed over.
uint64_t SweepFatDirectories(CProfessionalFatRecovery& engine, const std::string& image);

}  // namespace testkit
