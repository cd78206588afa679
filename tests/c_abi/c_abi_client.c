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

/* Writes a PNG and a GIF of a small 8-bit image beside the test file and reads both back. */
static void checkPngGif(const char* base) {
    char name[KRO_FILE_NAME_SIZE];
    ImageDescriptor img, back;
    PngInfoRecord png;
    GifInfo gif;
    int32_t count = 0;
    if (strlen(base) + 5 > sizeof name) return;
    check(allocimage(&img, 5, 3, 8) == IMG_OK && allocimage(&back, 5, 3, 8) == IMG_OK, "allocimage for PNG and GIF");
    img.pixels[0] = 7;
    strcpy(name, base);
    strcat(name, ".png");
    check(WritePngFile(name, &img, 0) == IMG_OK, "WritePngFile");
    check(PngInfo(name, &png) == IMG_OK && png.width == 5 && png.height == 3 && png.alloc_bits == 8, "PngInfo");
    check(LoadPngFile(name, &back) == IMG_OK && back.pixels[0] == 7, "LoadPngFile");
    check(KroFileErase(name) == 0, "erase the PNG");
    strcpy(name, base);
    strcat(name, ".gif");
    back.pixels[0] = 0;
    check(WriteGifFile(name, &img) == IMG_OK, "WriteGifFile");
    check(gifinfo(name, &gif) == IMG_OK && gif.width == 5 && gif.version == 87, "gifinfo");
    check(CountGifImages(name, &count) == IMG_OK && count == 1, "CountGifImages");
    check(loadgif(name, &back) == IMG_OK && back.pixels[0] == 7, "loadgif");
    check(KroFileErase(name) == 0, "erase the GIF");
    freeimage(&img);
    freeimage(&back);
}

/* Writes a two-frame Flic beside the test file and reads it back through the public record. */
static void checkFlic(const char* base) {
    char name[KRO_FILE_NAME_SIZE];
    unsigned char picture[8 * 2], palette[768], shown[8 * 4];
    KroOFlic* out;
    KroFlic* in;
    int i;
    if (strlen(base) + 5 > sizeof name) return;
    strcpy(name, base);
    strcat(name, ".flc");
    for (i = 0; i < 16; ++i) picture[i] = (unsigned char)i;
    for (i = 0; i < 768; ++i) palette[i] = (unsigned char)(i / 3);
    out = KroOFlicCreate(name, 6, 2, -6667);
    check(out != NULL, "KroOFlicCreate");
    if (!out) return;
    check(KroOFlicPutNext(out, picture, palette) == 1, "KroOFlicPutNext");
    picture[3] = 200;
    check(KroOFlicPutNext(out, picture, NULL) == 1, "KroOFlicPutNext again");
    check(KroOFlicClose(out) > 128, "KroOFlicClose gives the size");
    in = KroFlicOpen(name);
    check(in != NULL, "KroFlicOpen");
    if (!in) return;
    check(in->width == 6 && in->pitch == 8 && in->roundedHeight == 4 && in->frameCount == 2, "Flic sizes");
    check(in->frameRate == -6667, "Flic rate");
    check(KroFlicGetNext(in, shown) == 2 && shown[9] == 7 && KroFlicGetPalette(in)[300] == 100, "Flic frame 1");
    check(KroFlicGoto(in, 2, shown) == 1 && shown[3] == 200 && shown[6] == 0, "Flic frame 2");
    check(strcmp(KroFlicGetName(in, NULL), name) == 0, "Flic name");
    KroFlicClose(in);
    check(KroFileErase(name) == 0, "erase the Flic");
}

static int32_t workerSeven(void* user, void* dialog) {
    (void)user;
    (void)dialog;
    return 7;
}

static int32_t keepNothing(int32_t id, void* dialog) {
    (void)id;
    (void)dialog;
    return 0;
}

/* Reads a raw 8-bit mono sound beside the test file through SFile and writes it as one raw
 * block through CSFile. */
static void checkSound(const char* base) {
    char name[KRO_FILE_NAME_SIZE], out[KRO_FILE_NAME_SIZE];
    unsigned char pcm[100], back[100];
    KroFile* f;
    SFile* s;
    CSFile* c;
    int i;
    if (strlen(base) + 5 > sizeof name) return;
    strcpy(name, base);
    strcat(name, ".pcm");
    strcpy(out, base);
    strcat(out, ".snd");
    for (i = 0; i < 100; ++i) pcm[i] = (unsigned char)(128 + i);
    f = KroFileCreate(0, name);
    check(f != NULL, "KroFileCreate for the sound");
    if (!f) return;
    KroFilePut(f, pcm, 100);
    KroFileClose(f);
    s = SFileOpen(name, 0, 0, 0, 0, 0, 0, 8000 * 8, 0, NULL);
    check(s != NULL && s->sourceRate == 8000 && s->outputBits == 8 && s->outputChannels == 1, "SFileOpen raw");
    if (s) {
        check(SFileGet(s, back, 100) == 100 && memcmp(back, pcm, 100) == 0, "SFileGet");
        check(SFileGet(s, back, 100) == 0 && s->atEnd, "SFileGet at the end");
        SFileClose(s);
    }
    c = CSFileOpen(name, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8000 * 8, 0, NULL);
    f = KroFileCreate(0, out);
    check(c != NULL && f != NULL && c->raw, "CSFileOpen raw");
    if (c && f) {
        CSFileSetOutput(c, f);
        check(CSFilePut(c, 1000) == 104 && c->totalDelivered == 100, "CSFilePut: size field, samples, padding");
        check(CSFilePut(c, 1000) == 0, "CSFilePut after the sound");
    }
    CSFileClose(c);
    KroFileClose(f);
    KroFileErase(out);
    KroFileErase(name);
}

/* Writes a two-frame AVI with sound through graphics output beside the test file; the movie
 * framework's open finds nothing here. */
static void checkGraphicsOutput(const char* base) {
    char name[KRO_FILE_NAME_SIZE];
    uint8_t pixels[6 * 4 * 4];
    uint8_t sound[8000];
    OGFile* out;
    uint32_t amount;
    int k;
    if (strlen(base) + 5 > sizeof name) return;
    strcpy(name, base);
    strcat(name, ".avi");
    memset(pixels, 40, sizeof pixels);
    memset(sound, 128, sizeof sound);
    out = OGFileCreate(NULL, name, 2, 15, 1, 6, 4, 6, NULL, 2, 0);
    check(out != NULL && out->kind == OGFILE_KIND_AVI && out->bitsPerPixel == 24, "OGFileCreate AVI");
    if (!out) return;
    for (k = 0; k < 2; ++k) {
        /* The whole sound of two frames fits in the preload: all of it at once, then nothing. */
        amount = OGFilePutSoundAmount(out, 8000, 8, 1);
        check(amount == (k == 0 ? 8000 * 2 / 15 : 0), "OGFilePutSoundAmount");
        check(OGFilePutSound(out, sound, amount) == 1, "OGFilePutSound");
        check(OGFilePut(out, pixels, NULL) == 1, "OGFilePut");
    }
    check(OGFileClose(out) == krofilesize(name), "OGFileClose returns the file size");
    check(KroFileErase(name) == 0, "erase the AVI");
    check(QTFileOpen(name, 15, 1, NULL) == NULL && QTSFileOpen(name, 1, NULL) == NULL, "no movie framework");
    KroAVIInit();
    KroQTShutdown();
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
    checkFlic(name);
    /* status window and dialogs, headless: the question is answered from TORVEX_ANSWERS */
    {
        KroDialogItem items[2] = {{0, 100, "Working", 10, 10, 100, 16}, {1, 2, "&Cancel", 10, 40, 72, 24}};
        KroDialogTemplate tpl = {"C client", 200, 80, NULL, 2};
        void* instance = (void*)(uintptr_t)0x1234;
        tpl.items = items;
        check(StatusInit(instance, NULL, 0) == instance, "StatusInit");
        check(StatusOpen("C client", "detail", NULL) == 1, "StatusOpen");
        check(StatusSet("1 of 2") == 0, "StatusSet");
        check(StatusDoCancel() == 1, "a yes cancels");
        check(StatusClose(0) == 1, "StatusClose");
        KroDialogSetTemplate(instance, &tpl);
        check(KroDialogInit(instance, NULL, NULL, 5, 0, workerSeven, keepNothing) == 7, "the worker's result");
    }
    {
        char line[64] = "/F-12 /O\"a b\" rest";
        char value[16];
        char number[40];
        int32_t n = 0, d = 0;
        check(GetSwitchNum(line, 'F', 0) == -12, "GetSwitchNum");
        check(GetSwitchStr(line, 'O', value, "") == 1 && strcmp(value, "a b") == 0, "GetSwitchStr");
        check(strcmp(line, "  rest") == 0, "switches cut out");
        check(*atofr("29.97", &n, &d) == 0 && n == 2997 && d == 100, "atofr");
        check(strcmp(CommaNum(number, 1234567u), "1,234,567") == 0, "CommaNum");
    }
    checkPngGif(name);
    checkSound(name);
    checkGraphicsOutput(name);
    return failures ? 1 : 0;
}
