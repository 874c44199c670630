// Handling of API keys as secrets: equality that takes the same time
// whatever position the first differing character is at.
#include "mcp/guardlet.hpp"

#include <cstdint>
#include <cstring>

using namespace frame;

namespace guardlet {

bool secret_equal(Borrowed a, Borrowed b) {
  if (!PyUnicode_CheckExact(a.get()) || !PyUnicode_CheckExact(b.get())) return equal(a, b);
  PyObject* x = a.get();
  PyObject* y = b.get();
  Py_ssize_t nx = PyUnicode_GET_LENGTH(x), ny = PyUnicode_GET_LENGTH(y);
  int kx = PyUnicode_KIND(x), ky = PyUnicode_KIND(y);
  const void* dx = PyUnicode_DATA(x);
  const void* dy = PyUnicode_DATA(y);
  // Walk the whole of the longer string; a shorter one reads as zeros past its end.
  Py_ssize_t n = nx > ny ? nx : ny;
  Py_UCS4 diff = nx != ny;
  if (kx == PyUnicode_1BYTE_KIND && ky == PyUnicode_1BYTE_KIND) {
    // The same walk over the bytes: the common part, then the longer one's rest.
    const auto* bx = static_cast<const Py_UCS1*>(dx);
    const auto* by = static_cast<const Py_UCS1*>(dy);
    const Py_ssize_t common = nx < ny ? nx : ny;
    // Eight bytes at a time, then the last few one by one.
    uint64_t words = 0;
    Py_ssize_t i = 0;
    for (; i + 8 <= common; i += 8) {
      uint64_t u, v;
      std::memcpy(&u, bx + i, 8);
      std::memcpy(&v, by + i, 8);
      words |= u ^ v;
    }
    diff |= words != 0;
    for (; i < common; ++i) diff |= bx[i] ^ by[i];
    const Py_UCS1* rest = nx > ny ? bx : by;
    for (Py_ssize_t i = common; i < n; ++i) diff |= rest[i];
    return diff == 0;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 cx = i < nx ? PyUnicode_READ(kx, dx, i) : 0;
    Py_UCS4 cy = i < ny ? PyUnicode_READ(ky, dy, i) : 0;
    diff |= cx ^ cy;
  }
  return diff == 0;
}

} // namespace guardlet
