#pragma once
// The lines the window logs about a file it opened: size, duration and one block per stream.
#include <string>
#include <vector>

class TCustomDecoder;

std::vector<std::string> OpenedFileInfoLines(TCustomDecoder& decoder);
