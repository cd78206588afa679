// The platform media readers where the platform has no media frameworks: the movie framework's
// and the filter graph's opens fail quietly, so that the caller tries its next reader; AVI is
// read and written by our own code and needs no start-up.
#include "kroutil/input/filter_graph.h"
#include "kroutil/media.h"

extern "C" {

KRO_API QTFile* QTFileOpen(const char* name, uint32_t rateNum, uint32_t rateDen, KroStatusProc status) {
    (void)name, (void)rateNum, (void)rateDen, (void)status;
    return nullptr;
}
KRO_API int32_t QTFileGet(QTFile* file) {
    (void)file;
    return 0;
}
KRO_API void QTFileGoto(QTFile* file, uint32_t frame) { (void)file, (void)frame; }
KRO_API void QTFileClose(QTFile* file) { (void)file; }

KRO_API QTSFile* QTSFileOpen(const char* name, uint32_t track, KroStatusProc status) {
    (void)name, (void)track, (void)status;
    return nullptr;
}
KRO_API uint32_t QTSFileGet(QTSFile* file, void* buffer, uint32_t byteCount) {
    (void)file, (void)buffer, (void)byteCount;
    return 0;
}
KRO_API void QTSFileGoto(QTSFile* file, uint32_t milliseconds) { (void)file, (void)milliseconds; }
KRO_API void QTSFileClose(QTSFile* file) { (void)file; }
KRO_API void KroQTShutdown(void) {}
KRO_API void KroAVIInit(void) {}

}  // extern "C"

namespace kro {

FilterGraphVideo* filterGraphOpenVideo(const char*) { return nullptr; }
const QTFile* filterGraphNextFrame(FilterGraphVideo*) { return nullptr; }
void filterGraphCloseVideo(FilterGraphVideo*) {}
FilterGraphSound* filterGraphOpenSound(const char*, uint32_t) { return nullptr; }
const QTSFile* filterGraphSoundFormat(const FilterGraphSound*) { return nullptr; }
uint32_t filterGraphReadSound(FilterGraphSound*, void*, uint32_t) { return 0; }
void filterGraphRestartSound(FilterGraphSound*) {}
void filterGraphCloseSound(FilterGraphSound*) {}

}  // namespace kro
