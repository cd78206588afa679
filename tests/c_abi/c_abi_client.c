/* Uses the library the way a C program would: through the public header and the shared
 * library only. Exits non-zero with a message on the first mismatch. */
#include <stdio.h>
#include <string.h>

#include "kroutil/kroutil.h"

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "c_abi_test.bin";
    void* block = utilmalloc(100);
    KroFile* f;
    HuffEncoder* h;
    check(block != NULL && ((unsigned long)(size_t)block % 32) == 0, "utilmalloc gives an aligned block");
    utilfree(block);
    check(utilmalloc(0) == NULL, "utilmalloc(0) is null");
    (void)KroTimerRead();

    f = KroFileCreate(0, name);
    check(f != NULL, "KroFileCreate");
    if (!f) return 1;
    KroFilePutBits(f, 5, 3);
    KroFilePutBits(f, 0xFF, 8);
    h = HuffOpen(1);
    check(h != NULL, "HuffOpen");
    HuffSetOutput(h, f);
    HuffInitStats(h);
    check(HuffStartEncode(h) == 12, "an empty block builds as 12");
    HuffClose(h);
    KroFileClose(f);

    f = KroFileOpen(0, name, KRO_FILE_READ);
    check(f != NULL, "KroFileOpen");
    if (!f) return 1;
    check(KroFileGetBits(f, 3) == 5, "first field");
    check(KroFileGetBits(f, 8) == 0xFF, "second field");
    check(KroFileGetBits(f, 1) == 0, "the empty block's bit");
    check(KroFileSize(f) == 2, "two bytes in all");
    check(strcmp(KroFileGetName(f, NULL), name) == 0, "stored name");
    KroFileClose(f);
    check(KroFileErase(name) == 0, "erase");

    /* still images: the descriptor's C layout and the allocation calls */
    {
        ImageDescriptor img;
        check(sizeof(void*) != 8 || sizeof(ImageDescriptor) == 64, "descriptor size with 64-bit pointers");
        check(sizeof(KroBitmapInfoHeader) == 40, "bitmap header size");
        check(sizeof(PcxInfo) == 8 * 4 && sizeof(TgaInfo) == 13 * 4 && sizeof(GifInfo) == 9 * 4 &&
                  sizeof(TiffInfo) == 9 * 4 && sizeof(JpegInfo) == 10 * 4 && sizeof(PngInfoRecord) == 26 * 4,
              "information record sizes");
        KroVICInit();
        check(allocimage(&img, 3, 2, 4) == IMG_OK && img.colors == 256 && img.row_bytes == 4, "allocimage");
        check(freeimage(&img) == 0 && img.header == NULL, "freeimage");
        check(freeimage(&img) != 0, "freeimage twice");
        check(allocimage(&img, 3, 2, 32) == IMGERR_DEPTH, "allocimage refuses 32 bits");
    }
    return failures ? 1 : 0;
}
