// Log and header rows: the status log, trailer extra and their headers come
// as one text whose fields are separated by "|". Every piece is an item,
// empty ones included, so an empty text is one empty field.
#pragma once

#include "text.h"

namespace corvix {

template <std::size_t Capacity, class... Kinds>
using FieldList = SplitText<Capacity, Text("|"), false, OnFailure::Raise, Kinds...>;

}  // namespace corvix
