// A frame drawn as palette indices instead of colours: which pixels its runs
// paint, and with which index, through the colour renderer's painting of
// runs (kiv_paint_runs.h), so that a pixel is painted here exactly when it is
// painted there.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/kiv_records.h"

// Fills `indices` and `painted`, width x height bytes each, rows top to
// bottom: the palette index of each painted pixel (0 in a shadow frame,
// whose runs store none) and 1 where a pixel is painted, 0 elsewhere.
// `palette_size` is the number of colours the frame was rendered with: a run
// stops at the first index the palette does not hold. Reports nothing; the
// colour renderer reports the same faults.
void paint_indices(const KivFrame& frame, std::size_t palette_size, std::uint8_t* indices, std::uint8_t* painted);

// The highest palette index a run of `frame` paints with a palette that
// holds every index (256 colours), by the same rules: -1 when the frame is a
// shadow frame or paints nothing. A load whose palette holds fewer colours
// than this leaves pixels unpainted.
int highest_painted_index(const KivFrame& frame);
