#include "codec/transform/audio_tables.h"

#include <cmath>

namespace torvex {

const float* quantTable() {
    static const struct Table {
        float q[kQuantSteps];
        Table() {
            for (int i = 0; i < kQuantSteps; ++i) q[i] = float(std::exp(0.15289164787 * i));
        }
    } table;
    return table.q;
}

}  // namespace torvex
