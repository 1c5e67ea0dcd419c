/* Files for the link core and the store: a thin layer over stdio that speaks aErr. */
#ifndef TS_AFILE_H
#define TS_AFILE_H

#include <stdbool.h>
#include <stddef.h>
#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aFILE_MAXPATH 4096

typedef enum {
    aFileModeReadOnly = 0,
    aFileModeWriteOnly = 1,
    aFileModeAppend = 2,
    aFileModeUnknown = 3
} aFileMode;

typedef struct aFile aFile;

/* Opens path in the given mode; null on any failure (see the error rules in the
 * implementation). Write mode creates or truncates; append creates if missing. */
aFile* aFile_Open(const char* path, aFileMode mode);
/* Closes and frees the record and nulls *file; aErrParam for a null or foreign record. */
aErr aFile_Close(aFile** file);
aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count);
aErr aFile_Write(aFile* file, const void* bytes, size_t length, size_t* count);
/* origin: 0 start, 1 current, 2 end. A target before 0 or past the end is aErrRange. */
aErr aFile_Seek(aFile* file, long offset, int origin);
aErr aFile_GetSize(aFile* file, size_t* size);
aErr aFile_GetPosition(aFile* file, size_t* position);
/* One line with its newline. aErrEOF at the end; aErrOverrun when the line does
 * not fit with its newline (the partial line is left in buffer, NUL terminated). */
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);
aErr aFile_Printf(aFile* file, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
aErr aFile_SetUnbuffered(aFile* file);
bool aFile_Exists(const char* path);
aErr aFile_Delete(const char* path);

/* Atomic replacement: the returned record writes a hidden temporary file of its
 * own beside path;
 * commit flushes it to disk and renames it over path, so readers only ever see
 * the old file or the complete new one. Abandon removes the temporary file.
 * Both free the record and null *file. */
aFile* aFile_OpenReplacement(const char* path);
aErr aFile_CommitReplacement(aFile** file);
aErr aFile_AbandonReplacement(aFile** file);
/* Decides, from the new contents on disk at path (the temporary file), whether
 * they may take the target's place. It runs while another thread flushes the
 * file to disk, and must not throw: nothing would join that thread. */
typedef bool (*aFileAcceptProc)(const char* path, void* reference);
/* aFile_CommitReplacement once accept has read the new contents and taken
 * them; aErrCancel, the target untouched and the temporary file removed, when
 * it does not. What accept read is what takes the target's place, whatever
 * else is written beside it meanwhile. */
aErr aFile_CommitReplacementIf(aFile** file, aFileAcceptProc accept, void* reference);
/* aFile_CommitReplacement without waiting for the disk: the rename is atomic
 * for readers, but a crash soon after may leave path empty or missing. Only
 * for contents whose loss costs nothing, such as a file made anew with
 * defaults that are made again when it is missing. */
aErr aFile_CommitReplacementUnflushed(aFile** file);

#ifdef __cplusplus
}
#endif
#endif
