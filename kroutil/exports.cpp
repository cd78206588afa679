// The library's export list lives in exports.map; the exported functions are defined by the
// foundation and the family libraries linked in whole. This unit only anchors the target.
#include "kroutil/kroutil.h"
