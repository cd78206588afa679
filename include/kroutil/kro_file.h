/* Buffered file and bit I/O.
 *
 * One handle reads and writes a file through a page-aligned buffer, switching between the two
 * uses by itself. Values are little-endian; bits are taken and given least significant first.
 * Positions are 64-bit. Every function accepts a null or closed handle and then returns 0,
 * false, null or nothing.
 *
 * End of file: KroFileGet8, KroFileGet16, KroFileGet32 and KroFileGetBits have no end signal.
 * When the file ends inside the value, the missing bytes read as zero (so the value holds the
 * bits that were there, zero above them). Test KroFileAtEnd or KroFileSize to tell. */
#ifndef KROUTIL_KRO_FILE_H
#define KROUTIL_KRO_FILE_H

#include <stdint.h>

#include "kroutil/export.h"

KRO_BEGIN_DECLS

#define KRO_FILE_READ 250
#define KRO_FILE_READWRITE 251
#define KRO_FILE_NAME_SIZE 260

typedef struct KroFile {
    int32_t handle;            /* the open file; -1 marks a closed record */
    uint32_t write_error;      /* 1 once a write transferred fewer bytes than asked */
    char name[KRO_FILE_NAME_SIZE];
    void* buffer_block;        /* allocation holding the buffer; null until it exists */
    uint8_t* buffer;           /* buffer start, a multiple of 4096 inside buffer_block */
    uint32_t buffer_size;      /* capacity; 0 = unbuffered */
    uint32_t buffer_fill;      /* read: bytes of the last refill; write: room of the buffer */
    uint32_t buffer_pos;       /* cursor in the buffer */
    uint64_t file_pos;         /* read: offset past the buffer's data; write: offset of its first byte */
    uint64_t known_size;       /* cached size; all ones = not yet known */
    uint32_t bit_count;        /* 0..7 bits of the partial byte used */
    uint32_t bit_byte;         /* the partial byte */
    uint32_t writing;          /* 1 in write mode */
} KroFile;

/* Opens an existing file (mode KRO_FILE_READ or KRO_FILE_READWRITE; others may read it).
 * bufferSize: its magnitude is the capacity, at least 4096; 0 allocates at once, anything else
 * at the first transfer. A name of more than 259 characters is refused (null). */
KRO_API KroFile* KroFileOpen(int32_t bufferSize, const char* name, uint32_t mode);
/* Creates or truncates a file; nobody else may open it meanwhile. */
KRO_API KroFile* KroFileCreate(int32_t bufferSize, const char* name);
/* As KroFileCreate, but others may read the file while it is written. */
KRO_API KroFile* KroFileCreateWithRead(int32_t bufferSize, const char* name);
/* Flushes (without commit), closes and frees the record. */
KRO_API void KroFileClose(KroFile* f);

KRO_API uint32_t KroFileGetNB(KroFile* f, void* dest, uint32_t count);
KRO_API uint32_t KroFileGet(KroFile* f, void* dest, uint32_t count);
KRO_API uint32_t KroFileGet8(KroFile* f);
KRO_API uint32_t KroFileGet16(KroFile* f);
KRO_API uint32_t KroFileGet32(KroFile* f);
/* The next count bits (count taken as ((count - 1) mod 32) + 1; 0 reads nothing, gives 0). */
KRO_API uint32_t KroFileGetBits(KroFile* f, uint32_t count);

KRO_API uint32_t KroFilePutNB(KroFile* f, const void* src, uint32_t count);
KRO_API uint32_t KroFilePut(KroFile* f, const void* src, uint32_t count);
KRO_API uint32_t KroFilePut8(KroFile* f, uint32_t value);
KRO_API uint32_t KroFilePut16(KroFile* f, uint32_t value);
KRO_API uint32_t KroFilePut32(KroFile* f, uint32_t value);
KRO_API void KroFilePutBits(KroFile* f, uint32_t value, uint32_t count);

KRO_API uint64_t KroFileBitPos(KroFile* f);
KRO_API void KroFileByteAlign(KroFile* f);
KRO_API void KroFileAlign(KroFile* f, uint32_t alignment);
KRO_API void KroFileFlush(KroFile* f, int32_t commit);
KRO_API uint64_t KroFileGetPos(KroFile* f);
/* Moves to pos; returns the position before the move. */
KRO_API uint64_t KroFileSetPos(KroFile* f, uint64_t pos);
KRO_API int32_t KroFileIsInBuffer(KroFile* f, uint64_t pos);
KRO_API uint64_t KroFileSize(KroFile* f);
KRO_API int32_t KroFileAtEnd(KroFile* f);
KRO_API char* KroFileGetName(KroFile* f, char* dest);
/* One text line without its line end, at most destSize - 1 bytes. */
KRO_API char* KroFileGetLine(KroFile* f, char* dest, uint32_t destSize);
/* High 32 bits of the last-write time (100-ns units since 1601). */
KRO_API uint32_t KroFileGetTime(KroFile* f);
KRO_API void KroFileSetTime(KroFile* f, uint32_t time);
/* 0 deleted, 1 no such file, 2 other failure. */
KRO_API int32_t KroFileErase(const char* name);
/* Note the order: new name first. 0 done, 1 no such file, 2 other failure. */
KRO_API int32_t KroFileRename(const char* newName, const char* existingName);

KRO_END_DECLS

#endif
