// Graphics input: runs the frame read last through the processing chain.
#include "kroutil/input/gfile_internal.h"
#include "kroutil/util/status_send.h"

namespace gfile {

void processFrame(GFile* g, const Processing& proc) {
    GFilePrivate* p = g->priv;
    p->processedValid = true;
    // List entries ran the chain themselves; their canvases are placed as they come.
    if (g->kind == GFILE_KIND_LIST || !p->processor) {
        p->processed = p->frame;
        return;
    }
    kro::FrameArgs args;
    args.median = proc.median;
    args.softening = uint32_t(proc.softening);
    args.levels = proc.levels;
    args.brightness = proc.brightness;
    args.gamma = proc.gamma;
    args.threshold = proc.threshold;
    if (!p->processor->process(p->frame, args)) {
        kro::statusError(g->status, "Out of memory");
        p->processed = p->frame;
        return;
    }
    p->processed = p->processor->picture();
}

}  // namespace gfile
