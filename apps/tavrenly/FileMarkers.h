// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// `play --markers-from-file`: the item's markers as the file itself carries them, the way
// playout systems read them.
//
// From the cart record's post timers (sample positions):
//   AUDs audio start, AUDe audio end, INTs intro start, INTe intro end, SECs hook start,
//   SECe hook end (the cart record has no hook timer; its secondary timer carries it), SEGs
//   extro (the segue point, where the next item comes in), OUTs extro when there is no SEGs.
// From cue points, by their label in LIST/adtl (case, blanks, '-' and '_' aside):
//   "audio start", "audio end", "intro start", "intro end", "hook start", "hook end",
//   "extro", "sweeper" (or "sweeper start").
// From the first sampler loop of `smpl`: the loop, its last frame included; a play count of
// N plays the section N times, 0 (for ever) takes the control's default of 1000 repeats.
//
// A marker given on the command line wins over the file's; a cart timer over a cue label.
// A marker of the file that lies past the end of the audio, or a pair in the wrong order
// (start after end), is ignored with a warning line on standard error.

#include "apps/tavrenly/Play.h"

#include <string>
#include <vector>

namespace tavrenly::app {

/// The markers the file gives, what they came from, and why some were ignored.
struct FileMarkerResult
{
    PlayOptions options;               ///< `options` with the file's markers filled in
    std::vector<std::string> taken;    ///< "intro-end 0:00:03.000 (cart INTe)"...
    std::vector<std::string> warnings; ///< one line each, without the program's name
};

/// `options` with every marker it leaves unset taken from the file at `file`, whose audio
/// lasts `fileSeconds`. Reads the file's chunks only; never fails (a file without such chunks
/// gives `options` as they are).
FileMarkerResult WithFileMarkers(const PlayOptions& options, const std::string& file,
                                 float fileSeconds);

} // namespace tavrenly::app
