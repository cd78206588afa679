// Handlers of the file, directory, drive, environment, program, system, print and multimedia
// commands, and the services they offer the presentation runtime.
#pragma once

#include <cstddef>

namespace engine {

// Files.
void cmdFileOpen();
void cmdFileCreate();
void cmdFileAppend();
void cmdFileClose();
void cmdFileRead();
void cmdFileWrite();
void cmdFileEof();
void cmdFileSize();
void cmdFileList();
void cmdFileExists();
void cmdFileDelete();
void cmdFileRename();
void cmdFileCopy();
void cmdFileFind();
void cmdFileFindNext();
void cmdFileFullPath();
void cmdFilePieces();
void cmdFileGetAttrib();
void cmdFileSetAttrib();
void cmdFileTemp();
void cmdFileCdRom();
void cmdFileRemote();
void cmdFileRemovable();
// Directories, drives, environment, programs.
void cmdDirCurrent();
void cmdDirChange();
void cmdDirExists();
void cmdDirMake();
void cmdDirRemove();
void cmdDriveAvail();
void cmdDriveSize();
void cmdEnvGet();
void cmdEnvSet();
void cmdExecute();
// System facts.
void cmdSystemColors();
void cmdSystemCurrentExe();
void cmdSystemDisplayResolution();
void cmdSystemMemory();
void cmdSystemOsMajor();
void cmdSystemOsMinor();
// Printing and multimedia strings.
void cmdPrintBegin();
void cmdPrintPageAdv();
void cmdPrintEnd();
void cmdMciSendString();

// The print file. While it is open the text commands write their text here (line ends
// included, as they would advance on the screen) instead of drawing it.
bool printFileOpen();
void printFileWrite(const char* text, size_t length);

// Choices made by system commands that later commands act on.
struct SystemChoices {
    bool useDirectSound = false;  // SCREENGRAPHICS hands its window to the sound back-end
};
extern SystemChoices gSystemChoices;

// Forgets the file search and the choices (with the rest of the engine's state).
void resetIoCommands();

}  // namespace engine
