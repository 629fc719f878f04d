// The SearchType enumeration's instance layout.
#pragma once

#include "py/node.h"

namespace orvex::py {

struct SearchTypeObject {
  PyObject_HEAD
  uint8_t value;  // 0 Tag, 1 Attr, 2 Text
};

}  // namespace orvex::py
