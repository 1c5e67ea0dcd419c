/* Files over stdio, with errno translated to aErr where it is seen. */
#include "aFile.h"

#include "aFileSyncer.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define aFILE_CHECK 0xFEED
#define aFILE_DEAD 0xDEAD

struct aFile {
    uint16_t check;
    aFileMode mode;
    FILE* fp;
    /* Set only for records made by aFile_OpenReplacement. */
    char* targetPath;
    char* tempPath;
    char* buffer;
    /* Bytes taken so far, and how many of them the disk was already told to
     * start writing. */
    uint64_t written;
    uint64_t writeBehind;
    /* Flushes each part written behind while the next arrives (started at
     * the first); the commit's flush then waits only for the last part. */
    aFileSyncer* syncer;
};

/* A replacement's stream buffer, and how much it writes before the disk is
 * told to start on it. Large images then reach the disk while they still
 * arrive, and the commit's flush waits only for the tail. */
#define aFILE_REPLACEMENT_BUFFER (64u * 1024u)
#define aFILE_WRITE_BEHIND (1024u * 1024u)

/* True when path is non-empty and within the path limit. */
static bool sPathUsable(const char* path)
{
    return path && path[0] != '\0' && strnlen(path, aFILE_MAXPATH + 1) <= aFILE_MAXPATH;
}

static bool sValid(const aFile* file)
{
    return file && file->check == aFILE_CHECK && file->fp;
}

static bool sCanRead(const aFile* file)
{
    return file->mode == aFileModeReadOnly || file->mode == aFileModeAppend;
}

static bool sCanWrite(const aFile* file)
{
    return file->mode == aFileModeWriteOnly || file->mode == aFileModeAppend;
}

/* The aErr for an errno left by open, unlink or rename. */
static aErr sErrorFromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return aErrNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return aErrPermission;
    case EBUSY:
    case ETXTBSY:
        return aErrBusy;
    case ENAMETOOLONG:
        return aErrFileNameLength;
    case ENOMEM:
        return aErrMemory;
    default:
        return aErrIO;
    }
}

/* Wraps an open stream in a fresh record; closes the stream when memory runs out. */
static aFile* sWrap(FILE* fp, aFileMode mode)
{
    aFile* file = (aFile*)calloc(1, sizeof(aFile));
    if (!file) {
        fclose(fp);
        errno = ENOMEM;
        return NULL;
    }
    file->check = aFILE_CHECK;
    file->mode = mode;
    file->fp = fp;
    return file;
}

/* Clears the check word and frees the record and its paths; the stream must be closed. */
static void sFree(aFile* file)
{
    file->check = aFILE_DEAD;
    file->fp = NULL;
    free(file->targetPath);
    free(file->tempPath);
    free(file->buffer);
    free(file);
}

/* Opens path for reading, truncating writing or appending (positioned at the end).
 * Null for an unusable path, an unknown mode, or when the system refuses; errno
 * then tells why. */
aFile* aFile_Open(const char* path, aFileMode mode)
{
    if (!sPathUsable(path)) {
        errno = path && path[0] ? ENAMETOOLONG : EINVAL;
        return NULL;
    }
    const char* how;
    switch (mode) {
    case aFileModeReadOnly:
        how = "rb";
        break;
    case aFileModeWriteOnly:
        how = "wb";
        break;
    case aFileModeAppend:
        /* Read access too: an append record may be read back. */
        how = "a+b";
        break;
    default:
        errno = EINVAL;
        return NULL;
    }
    FILE* fp = fopen(path, how);
    if (!fp)
        return NULL;
    if (mode == aFileModeAppend && fseek(fp, 0, SEEK_END) != 0) {
        int error = errno;
        fclose(fp);
        errno = error;
        return NULL;
    }
    return sWrap(fp, mode);
}

/* Closes the file, frees the record and nulls *file. A replacement closed this
 * way is abandoned: the target is only ever replaced by an explicit commit. */
aErr aFile_Close(aFile** file)
{
    if (!file)
        return aErrParam;
    if (!sValid(*file)) {
        *file = NULL;
        return aErrParam;
    }
    if ((*file)->tempPath)
        return aFile_AbandonReplacement(file);
    aErr result = fclose((*file)->fp) == 0 ? aErrNone : aErrIO;
    sFree(*file);
    *file = NULL;
    return result;
}

/* Reads up to length bytes; aErrEOF when nothing is left, *count (optional) gets
 * the number read. */
aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count)
{
    if (count)
        *count = 0;
    if (!sValid(file) || (!buffer && length > 0))
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    size_t got = fread(buffer, 1, length, file->fp);
    if (count)
        *count = got;
    if (got == 0 && length > 0)
        return ferror(file->fp) ? aErrIO : aErrEOF;
    return aErrNone;
}

/* Hands what a replacement has taken so far to the system and asks the disk to
 * start writing it without waiting for it. The request is only a head start
 * for the commit's fsync, which still reports any write error, so a refusal
 * of it (a file system without it) changes nothing. */
static aErr sStartWriteBehind(aFile* file)
{
    if (fflush(file->fp) != 0)
        return aErrIO;
    const int fd = fileno(file->fp);
    (void)sync_file_range(fd, (off64_t)file->writeBehind, (off64_t)(file->written - file->writeBehind),
                          SYNC_FILE_RANGE_WRITE);
    file->writeBehind = file->written;
    if (!file->syncer)
        file->syncer = aFileSyncer_Start(fd);
    aFileSyncer_Request(file->syncer);
    return aErrNone;
}

/* Writes length bytes; aErrIO unless all of them were taken, *count (optional)
 * gets the number written. */
aErr aFile_Write(aFile* file, const void* bytes, size_t length, size_t* count)
{
    if (count)
        *count = 0;
    if (!sValid(file) || (!bytes && length > 0))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    size_t put = fwrite(bytes, 1, length, file->fp);
    if (count)
        *count = put;
    if (put != length)
        return aErrIO;
    if (file->tempPath) {
        file->written += put;
        if (file->written - file->writeBehind >= aFILE_WRITE_BEHIND)
            return sStartWriteBehind(file);
    }
    return aErrNone;
}

/* Size in bytes, buffered output included; the position is kept. */
static aErr sSize(aFile* file, long* size)
{
    long here = ftell(file->fp);
    if (here < 0 || fseek(file->fp, 0, SEEK_END) != 0)
        return aErrIO;
    long end = ftell(file->fp);
    if (fseek(file->fp, here, SEEK_SET) != 0 || end < 0)
        return aErrIO;
    *size = end;
    return aErrNone;
}

/* Moves to offset from origin (0 start, 1 current, 2 end); a target outside
 * 0..size is aErrRange and leaves the position where it was. */
aErr aFile_Seek(aFile* file, long offset, int origin)
{
    if (!sValid(file))
        return aErrParam;
    long base;
    long size;
    aErr err = sSize(file, &size);
    if (err != aErrNone)
        return err;
    switch (origin) {
    case 0:
        base = 0;
        break;
    case 1:
        base = ftell(file->fp);
        if (base < 0)
            return aErrIO;
        break;
    case 2:
        base = size;
        break;
    default:
        return aErrParam;
    }
    /* base is within 0..size, so only a target past either end can overflow. */
    if ((offset < 0 && offset < -base) || (offset > 0 && offset > size - base))
        return aErrRange;
    return fseek(file->fp, base + offset, SEEK_SET) == 0 ? aErrNone : aErrIO;
}

/* The file's size in bytes. */
aErr aFile_GetSize(aFile* file, size_t* size)
{
    if (!sValid(file) || !size)
        return aErrParam;
    long end;
    aErr err = sSize(file, &end);
    if (err == aErrNone)
        *size = (size_t)end;
    return err;
}

/* The current offset, 0 at the start (always written on success). */
aErr aFile_GetPosition(aFile* file, size_t* position)
{
    if (!sValid(file) || !position)
        return aErrParam;
    long here = ftell(file->fp);
    if (here < 0)
        return aErrIO;
    *position = (size_t)here;
    return aErrNone;
}

/* Reads one line with its newline into buffer, always NUL terminated; *length
 * (optional) gets the characters stored. A last line without a newline is a
 * line. aErrEOF when nothing is left; aErrOverrun when the buffer filled before
 * the line (with its newline) ended: the rest stays unread. */
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length)
{
    if (length)
        *length = 0;
    if (!sValid(file) || !buffer || size == 0)
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    size_t stored = 0;
    aErr result = aErrNone;
    for (;;) {
        int c = getc(file->fp);
        if (c == EOF) {
            if (ferror(file->fp))
                result = aErrIO;
            else if (stored == 0)
                result = aErrEOF;
            break;
        }
        if (stored + 1 >= size) {
            ungetc(c, file->fp);
            result = aErrOverrun;
            break;
        }
        buffer[stored++] = (char)c;
        if (c == '\n')
            break;
    }
    buffer[stored] = '\0';
    if (length)
        *length = stored;
    return result;
}

/* Formatted write in the write and append modes. */
aErr aFile_Printf(aFile* file, const char* format, ...)
{
    if (!sValid(file) || !format)
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    va_list args;
    va_start(args, format);
    int written = vfprintf(file->fp, format, args);
    va_end(args);
    return written < 0 ? aErrIO : aErrNone;
}

/* Makes every later write go straight to the system (write and append modes). */
aErr aFile_SetUnbuffered(aFile* file)
{
    if (!sValid(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    if (fflush(file->fp) != 0)
        return aErrIO;
    return setvbuf(file->fp, NULL, _IONBF, 0) == 0 ? aErrNone : aErrIO;
}

/* True when path names an existing entry that is not a directory. */
bool aFile_Exists(const char* path)
{
    struct stat st;
    if (!sPathUsable(path) || stat(path, &st) != 0)
        return false;
    return !S_ISDIR(st.st_mode);
}

/* Removes the file: aErrNotFound when it is missing, aErrPermission when refused. */
aErr aFile_Delete(const char* path)
{
    if (!path || path[0] == '\0')
        return aErrParam;
    if (!sPathUsable(path))
        return aErrFileNameLength;
    if (unlink(path) == 0)
        return aErrNone;
    aErr err = sErrorFromErrno(errno);
    return err == aErrMemory || err == aErrBusy || err == aErrFileNameLength ? aErrIO : err;
}

/* The creation mode bits the process would give a new file: 0644 under the umask. */
static mode_t sNewFileMode(void)
{
    mode_t mask = 022;
    FILE* status = fopen("/proc/self/status", "r");
    if (status) {
        char line[128];
        while (fgets(line, sizeof line, status)) {
            unsigned int value;
            if (sscanf(line, "Umask: %o", &value) == 1) {
                mask = (mode_t)value;
                break;
            }
        }
        fclose(status);
    }
    return (mode_t)(0644 & ~mask);
}

/* Opens a temporary file beside path for writing; it takes path's place on commit,
 * with path's permission bits (or 0644 under the umask for a new file). Null when
 * the directory refuses the temporary file. */
aFile* aFile_OpenReplacement(const char* path)
{
    if (!sPathUsable(path)) {
        errno = path && path[0] ? ENAMETOOLONG : EINVAL;
        return NULL;
    }
    struct stat st;
    mode_t mode;
    if (stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return NULL;
        }
        mode = st.st_mode & 07777;
    } else {
        mode = sNewFileMode();
    }
    /* Hidden, so that a listing of the directory (the store's, say) never
     * takes a file still being written, or left by a crash, for one of its
     * own: "dir/name" is written as "dir/.name.tmpXXXXXX". */
    static const char suffix[] = ".tmpXXXXXX";
    size_t pathLength = strlen(path);
    const char* slash = strrchr(path, '/');
    size_t leafStart = slash ? (size_t)(slash - path) + 1 : 0;
    char* target = strdup(path);
    char* temp = (char*)malloc(pathLength + 1 + sizeof suffix);
    if (!target || !temp) {
        free(target);
        free(temp);
        errno = ENOMEM;
        return NULL;
    }
    memcpy(temp, path, leafStart);
    temp[leafStart] = '.';
    memcpy(temp + leafStart + 1, path + leafStart, pathLength - leafStart);
    memcpy(temp + pathLength + 1, suffix, sizeof suffix);
    int fd = mkstemp(temp);
    FILE* fp = NULL;
    if (fd >= 0 && fchmod(fd, mode) == 0)
        fp = fdopen(fd, "wb");
    if (!fp) {
        int error = errno;
        if (fd >= 0) {
            close(fd);
            unlink(temp);
        }
        free(target);
        free(temp);
        errno = error;
        return NULL;
    }
    aFile* file = sWrap(fp, aFileModeWriteOnly);
    if (!file) {
        unlink(temp);
        free(target);
        free(temp);
        return NULL;
    }
    file->targetPath = target;
    file->tempPath = temp;
    /* Without its own buffer the stream writes in pieces of a page. */
    file->buffer = (char*)malloc(aFILE_REPLACEMENT_BUFFER);
    if (file->buffer && setvbuf(fp, file->buffer, _IOFBF, aFILE_REPLACEMENT_BUFFER) != 0) {
        free(file->buffer);
        file->buffer = NULL;
    }
    return file;
}

/* Flushes the directory holding path so a rename in it survives a crash. Best
 * effort: the rename itself has already happened. */
static void sSyncDirectory(const char* path)
{
    const char* slash = strrchr(path, '/');
    char* dir = slash ? strndup(path, slash == path ? 1 : (size_t)(slash - path)) : strdup(".");
    if (!dir)
        return;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        close(fd);
    }
    free(dir);
}

/* The final flush, run beside the acceptance check: it takes over from the
 * flushes made while the file was written, whose failure fails it too. */
typedef struct {
    int fd;
    aFileSyncer* syncer;
    bool done;
} sSync;

static void* sSyncFile(void* argument)
{
    sSync* sync = (sSync*)argument;
    const bool earlier = aFileSyncer_Stop(&sync->syncer);
    sync->done = fsync(sync->fd) == 0 && earlier;
    return NULL;
}

/* Writes the new contents to disk (unless told not to wait for it) and, once
 * accept (if any) has taken them, renames them over the target; on any failure
 * the target is untouched and the temporary file removed. Frees and nulls
 * *file. */
static aErr sCommit(aFile** file, aFileAcceptProc accept, void* reference, bool flushed)
{
    if (!file || !sValid(*file) || !(*file)->tempPath)
        return aErrParam;
    aFile* record = *file;
    aErr result = aErrNone;
    /* A write the system refused is dropped from the stream's buffer, so a
     * later flush finds nothing left to fail on: only the error mark still
     * tells that the contents are short. */
    if (ferror(record->fp) || fflush(record->fp) != 0)
        result = aErrWrite;
    /* accept reads what the flush handed to the system while the disk takes
     * it: neither waits for the other, and the rename waits for both. */
    sSync sync = {fileno(record->fp), record->syncer, false};
    record->syncer = NULL;
    pthread_t syncer;
    bool syncing = result == aErrNone && flushed && accept && pthread_create(&syncer, NULL, sSyncFile, &sync) == 0;
    bool accepted = result == aErrNone && (!accept || accept(record->tempPath, reference));
    if (syncing)
        pthread_join(syncer, NULL);
    else if (result == aErrNone && flushed)
        sSyncFile(&sync);
    else
        sync.done = aFileSyncer_Stop(&sync.syncer);
    if (result == aErrNone && !sync.done)
        result = aErrWrite;
    if (fclose(record->fp) != 0 && result == aErrNone)
        result = aErrWrite;
    if (result == aErrNone && !accepted)
        result = aErrCancel;
    if (result == aErrNone && rename(record->tempPath, record->targetPath) != 0) {
        result = sErrorFromErrno(errno);
        if (result == aErrNotFound || result == aErrMemory)
            result = aErrIO;
    }
    if (result == aErrNone && flushed)
        sSyncDirectory(record->targetPath);
    else if (result != aErrNone)
        unlink(record->tempPath);
    sFree(record);
    *file = NULL;
    return result;
}

aErr aFile_CommitReplacementIf(aFile** file, aFileAcceptProc accept, void* reference)
{
    return sCommit(file, accept, reference, true);
}

aErr aFile_CommitReplacement(aFile** file)
{
    return sCommit(file, NULL, NULL, true);
}

aErr aFile_CommitReplacementUnflushed(aFile** file)
{
    return sCommit(file, NULL, NULL, false);
}

/* Discards the new contents: the target stays as it was and the temporary file is
 * removed. Frees and nulls *file. */
aErr aFile_AbandonReplacement(aFile** file)
{
    if (!file || !sValid(*file) || !(*file)->tempPath)
        return aErrParam;
    aFile* record = *file;
    (void)aFileSyncer_Stop(&record->syncer);
    fclose(record->fp);
    aErr result = unlink(record->tempPath) == 0 ? aErrNone : aErrIO;
    sFree(record);
    *file = NULL;
    return result;
}
