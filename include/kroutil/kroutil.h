/* The kroutil media utility library: the whole C interface. */
#ifndef KROUTIL_KROUTIL_H
#define KROUTIL_KROUTIL_H

#include "kroutil/kro_timer.h"
#include "kroutil/kro_file.h"
#include "kroutil/huffman.h"
#include "kroutil/status.h"
#include "kroutil/dialog.h"
#include "kroutil/image.h"
#include "kroutil/flic.h"
#include "kroutil/util.h"
#include "kroutil/sfile.h"
#include "kroutil/csfile.h"
#include "kroutil/gfile.h"
#include "kroutil/quarn.h"
#include "kroutil/media.h"
#include "kroutil/ogfile.h"

#endif
