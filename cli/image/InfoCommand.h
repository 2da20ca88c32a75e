// fwimage info: the window's summary of an image file, with its SHA-256 and
// its map when asked, as lines or as JSON.
#pragma once

#include <ostream>
#include <string>

struct TInfoRequest {
    bool Map = false;
    bool Digest = false;
    // One JSON object per file: its summary, its SHA-256 always, its map with
    // Map; a file that fails gives its name and the failure's text.
    bool Json = false;
};

// Opens fileName into CurrentImage and writes what request asks for to out.
// A failure raises after its JSON object, when asked, is written.
void Info(const std::string& fileName, const TInfoRequest& request, std::ostream& out);
