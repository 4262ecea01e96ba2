#pragma once
// The game's pictures, in one resource file (korvala_pictures.rcc) that the
// game maps read-only and registers under ":/pictures/" the first time a
// picture is asked for. Beside the game, installed or in its build folder;
// a test or a benchmark in the build tree finds it in a folder above itself.
//
// Kept out of the executable so that the pages of pictures already decoded
// can be given back: a picture is decoded once and kept, so its PNG bytes
// are not needed again, and the system maps far more than the bytes read
// (whole runs of pages around them) for as long as the process lives.

namespace korvala {

// Maps and registers the resource file once; true when the pictures are
// there. A missing or unreadable file is logged once, with its reason.
bool registerPictureResources();

// Gives back every page of the resource file that is mapped in memory
// (after a picture has been decoded): the mapping is read-only and never
// written, so a page is read from the file again should it be needed.
void releasePictureResourcePages();

}  // namespace korvala
