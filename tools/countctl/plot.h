// countctl plot FILE... -o OUT.svg|png|pdf: files countctl wrote, drawn
// by gnuplot (driven through a pipe, so countctl itself links no plotting
// library): counts against time (or index) with their histogram, or a
// threshold scan's rate against threshold with error bars (the square root
// of the counts). Several files (or a directory) are one rotated run. The
// title carries the settings from the first file's header.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "gap_marker.h"

// 0 drawn; 1 the file is not one countctl wrote; 2 a wrong command line;
// 3 the picture could not be made (gnuplot missing or failing, the output
// not writable). `marker`: the configuration's, for a file that does not
// say how its words are marked.
int run_plot(const std::vector<std::string> &given, const std::string &out_path, gap_marker marker, std::FILE *err);
