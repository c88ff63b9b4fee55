// Start-up, the debug log and the temporary files of the desktop app.
#pragma once

#include <sys/types.h>

#include <QtCore/QtMessageHandler>
#include <QtCore/QString>

#include <string>

// The process-wide message handler: debug messages become "Debug: <text>"
// lines appended to the log file; warnings and errors are dropped.
void customMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg);
// Where the handler appends ("Log.txt" in the working directory until set).
void SetLogFilePath(const std::string& strPath);
std::string GetLogFilePath();

// Deletes every entry of szDir whose name contains "tmp." (temporary
// preview files). 1 when the directory could be opened, 0 otherwise.
int DeleteTmpFile(const char* szDir);

// Makes strPath (created with mode 0644) the standard error. Returns the
// descriptor that keeps the file open and, in *pnSavedErr, a copy of the
// old standard error; -1 when the file cannot be opened (nothing changes).
int RedirectStandardError(const std::string& strPath, int* pnSavedErr);
// Puts the old standard error back, closes the file and deletes it.
void FinishStandardError(int fdOut, int nSavedErr, const std::string& strPath);

// How a launch proceeds: with a privileged helper for the disks, with
// the window alone ("start", or a user who may read the disks anyway).
enum class LaunchMode { StartHelper, WindowOnly };
LaunchMode ChooseLaunchMode(int argc, uid_t euid);

// The helper executable: beside the application, else where it installs.
// Empty when neither exists.
std::string FindHelperExecutable(const QString& strAppDir);

// The whole application (main).
int RunFotoretta(int argc, char** argv);
