#pragma once

#include <string>
#include <vector>

// The sentence a failed operation leaves for the user. A fallible operation
// returns false and assigns one complete English sentence to it; on success it
// leaves the text untouched. One ErrorText is shared by all steps of an
// attempt, so it holds the sentence of the first step that failed.
using ErrorText = std::wstring;

// Growable byte buffer that memory-mode downloads append to.
using ByteBuffer = std::vector<unsigned char>;
