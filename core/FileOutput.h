// Everything that writes recovered data or preview copies onto the user's
// disks goes through here: one way to name, create, own and date an output
// file, and one way to make a preview's temporary file.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "core/DiskReader.h"
#include "core/Records.h"

// Times to stamp on a finished output file, in seconds since 1970 (UTC).
struct OutputTimes {
    i64 i64ModifyTime = 0;
    i64 i64AccessTime = 0;
};

// The user to hand output files and directories to, for a process that runs
// as root on someone's behalf (sudo, pkexec).
struct OutputOwner {
    uid_t uid = 0;
    gid_t gid = 0;
};

// The owner every output file and directory gets when a call names none
// (null: leave them to the process). Set once at start-up, before any job.
void SetDefaultOutputOwner(const OutputOwner* pOwner);

// The user a root process runs for: PKEXEC_UID (group from the password
// database), else SUDO_UID and SUDO_GID. False when neither names a
// plain number other than 0.
bool GetInvokingUser(OutputOwner& out);

// The free name for "name" in dir: dir/name when nothing is there, else the
// first "stem(N).ext" (the product's "%s%s%s(%d)%s" form), N = 1, 2, ...
// A name without extension gets "name(N)". The number never pushes the name
// past 255 bytes (the stem is cut at a character boundary instead). Empty
// when the whole path would exceed PATH_MAX or no number is free.
std::string MakeUniquePath(const std::string& dir, const std::string& name);

// The same for a whole path, as wide text in out (outSize characters with
// the terminator): path itself when it is free. 0, or 87 for a bad argument
// or when no free name can be formed.
int GetRealFileName(const char* path, wchar_t* out, int outSize);

// The path a raw on-disk name gets inside dir: the name made safe as one
// path component (SanitizeFileName), then made free (MakeUniquePath). The
// result always lies directly inside dir. 0, or ENAMETOOLONG when it would
// be too long (never cut short silently).
int MakeOutputPath(const std::string& dir, std::string_view rawName, std::string& outPath);

// Creates a new regular file for writing: exclusive (an existing file or
// link is never opened), mode 0644, owner applied when given. 0 or errno;
// ENAMETOOLONG for a path of PATH_MAX bytes or more.
int CreateOutputFile(const std::string& path, CUniqueFd& fd, const OutputOwner* pOwner = nullptr);

// Creates one output directory with mode 0755 (owner applied when given);
// 0 or errno.
int CreateOutputDir(const std::string& path, const OutputOwner* pOwner = nullptr);

// Makes the output folders for a folder path of the source (components
// separated by '/' or '\\', each made safe as one path component) below
// base, which must exist. A component whose name is already taken by
// something that is not a folder (a recovered file of the same name) gets
// the first free "name(N)" instead, as a file would; chosen remembers each
// source path's folder so that the rest of that folder's files follow it.
// outDir = the folder reached. 0 or errno.
int MakeOutputDirs(const std::string& base, std::string_view sourcePath, std::string& outDir,
                   std::map<std::string, std::string>& chosen, const OutputOwner* pOwner = nullptr);
// The folder path of the source as MakeOutputDirs writes it: components
// made safe, joined with '/', empty ones dropped.
std::string CleanSourcePath(std::string_view sourcePath);

// Stamps modification and access times on a written file; 0 or errno.
// Without times nothing is changed.
int ApplyOutputTimes(int fd, const OutputTimes* pTimes);

// A time stamp of a node in seconds since 1970 (UTC): NTFS nodes hold
// 100 ns steps since 1601, FAT nodes seconds since 1970 already. False for
// 0 (nothing recorded) and for nodes of engines that record no times.
bool GetNodeUnixTime(const _FILE_NODE_& node, u64 value, i64& out);

// The modification and access times the node's file system recorded; false
// when it recorded no modification time. A missing access time takes the
// modification time.
bool GetNodeOutputTimes(const _FILE_NODE_& node, OutputTimes& out);

// Stamps the node's recorded times on a written file (fd) or, with fd < 0,
// on the directory at path (after everything inside it was written). 0 or
// errno; 0 without change when the node recorded no times.
int ApplyNodeTimes(int fd, const std::string& path, const _FILE_NODE_& node);

// A preview's temporary file "tmp.<ext>" in the private scan-log directory
// (mode 0700 under the data directory): any old file of that name is
// removed, then the new one is created exclusively without following
// links. 0 or errno; ENAMETOOLONG when the path would reach 256 bytes.
// Start-up removes every "tmp." file of that directory again.
int CreatePreviewTempFile(std::string_view ext, CUniqueFd& fd, std::string& outPath);
