/* File streams: an aFile opened for reading or writing behind the stream slots.
 * The file record is the stream's reference and checks itself on every call. */
#include "aFile.h"
#include "aStream.h"

/* One byte from the file; aErrEOF at its end. */
static aErr sFileGet(uint8_t* byte, void* reference)
{
    if (reference == NULL)
        return aErrIO;
    size_t count = 0;
    aErr err = aFile_Read((aFile*)reference, byte, 1, &count);
    if (err == aErrNone && count != 1)
        return aErrEOF;
    return err;
}

/* A block to the file; anything short of all of it is aErrIO. */
static aErr sFileWrite(const uint8_t* bytes, size_t length, void* reference)
{
    if (reference == NULL)
        return aErrIO;
    size_t count = 0;
    aErr err = aFile_Write((aFile*)reference, bytes, length, &count);
    if (err == aErrNone && count != length)
        return aErrIO;
    return err;
}

/* One byte to the file. */
static aErr sFilePut(uint8_t byte, void* reference)
{
    return sFileWrite(&byte, 1, reference);
}

/* Closes the file. */
static aErr sFileDelete(void* reference)
{
    if (reference == NULL)
        return aErrIO;
    aFile* file = (aFile*)reference;
    return aFile_Close(&file);
}

/* Opens path in mode and wraps it in a stream with the given slots. */
static aErr sCreate(const char* path, aFileMode mode, aStreamGetProc get, aStreamPutProc put,
                    aStreamWriteProc write, aStream** stream)
{
    if (path == NULL || stream == NULL)
        return aErrParam;
    *stream = NULL;
    aFile* file = aFile_Open(path, mode);
    if (file == NULL)
        return aErrResource;
    *stream = aStream_Create(get, put, write, sFileDelete, file);
    if (*stream == NULL) {
        aFile_Close(&file);
        return aErrMemory;
    }
    return aErrNone;
}

aErr aStream_CreateFileInput(const char* path, aStream** stream)
{
    return sCreate(path, aFileModeReadOnly, sFileGet, NULL, NULL, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream)
{
    return sCreate(path, aFileModeWriteOnly, NULL, sFilePut, sFileWrite, stream);
}
