// The first and the last word of a layout table, so that a table read from an
// object file is known to be one, and whole: the section it comes from may be
// padded with zeros after it ("LAYO").
#pragma once

constexpr unsigned int kLayoutMagic = 0x4F59414C;
