// wsprintfA / wvsprintfA with the Windows rules: 'l' is 32 bits, no
// floating point, at most 1024 bytes written.
#include <string.h>
#include <windows.h>

#include <string>

namespace {

constexpr size_t kMaxOut = 1024;

struct Conversion {
  bool left = false, zero = false, prefix = false;
  unsigned width = 0;
  int precision = -1;
  char size = 0;  // 'l', 'h' or 0
  char type = 0;
};

const char* parse(const char* f, Conversion* s) {
  for (;; ++f) {
    if (*f == '-') {
      s->left = true;
    } else if (*f == '#') {
      s->prefix = true;
    } else if (*f == '0') {
      s->zero = true;
    } else {
      break;
    }
  }
  while (*f >= '0' && *f <= '9') s->width = s->width * 10 + (unsigned)(*f++ - '0');
  if (*f == '.') {
    ++f;
    s->precision = 0;
    while (*f >= '0' && *f <= '9') s->precision = s->precision * 10 + (*f++ - '0');
  }
  if (*f == 'l' || *f == 'h' || *f == 'w') {
    if (*f != 'w') s->size = *f;
    ++f;
  }
  s->type = *f;
  return *f ? f + 1 : f;
}

void pad(std::string& out, size_t n, char c) { out.append(n, c); }

void emit_field(std::string& out, const Conversion& s, const std::string& body) {
  size_t w = s.width;
  if (body.size() >= w) {
    out += body;
  } else if (s.left) {
    out += body;
    pad(out, w - body.size(), ' ');
  } else {
    pad(out, w - body.size(), ' ');
    out += body;
  }
}

void emit_number(std::string& out, const Conversion& s, va_list& ap) {
  bool is_signed = s.type == 'd' || s.type == 'i';
  unsigned long long v;
  bool negative = false;
  if (s.type == 'p') {
    v = (uintptr_t)va_arg(ap, void*);
  } else if (is_signed) {
    long long x = va_arg(ap, int);
    if (s.size == 'h') x = (short)x;
    negative = x < 0;
    v = negative ? (unsigned long long)(-x) : (unsigned long long)x;
  } else {
    unsigned int x = va_arg(ap, unsigned int);
    if (s.size == 'h') x = (unsigned short)x;
    v = x;
  }
  unsigned base = (s.type == 'x' || s.type == 'X' || s.type == 'p') ? 16 : 10;
  const char* digits = (s.type == 'x') ? "0123456789abcdef" : "0123456789ABCDEF";
  char buf[32];
  int n = 0;
  do {
    buf[n++] = digits[v % base];
    v /= base;
  } while (v);
  std::string num(buf, buf + n);
  std::string d(num.rbegin(), num.rend());
  std::string lead = negative ? "-" : "";
  if (s.prefix && base == 16 && s.type != 'p') lead += s.type == 'X' ? "0X" : "0x";
  unsigned precision =
      s.type == 'p' ? (unsigned)(2 * sizeof(void*)) : (unsigned)(s.precision > 0 ? s.precision : 0);
  if (d.size() < precision) d.insert(0, precision - d.size(), '0');
  if (s.zero && !s.left && lead.size() + d.size() < s.width)
    d.insert(0, s.width - lead.size() - d.size(), '0');
  emit_field(out, s, lead + d);
}

}  // namespace

int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist) {
  if (!lpOut || !lpFmt) return 0;
  std::string out;
  va_list ap;
  va_copy(ap, arglist);
  for (const char* f = lpFmt; *f && out.size() < kMaxOut;) {
    if (*f != '%') {
      out += *f++;
      continue;
    }
    ++f;
    if (*f == '%') {
      out += '%';
      ++f;
      continue;
    }
    Conversion s;
    f = parse(f, &s);
    switch (s.type) {
      case 'c':
      case 'C':
        emit_field(out, s, std::string(1, (char)va_arg(ap, int)));
        break;
      case 's':
      case 'S': {
        const char* str = va_arg(ap, const char*);
        if (!str) str = "(null)";
        size_t len = strlen(str);
        if (s.precision >= 0 && (size_t)s.precision < len) len = (size_t)s.precision;
        emit_field(out, s, std::string(str, len));
        break;
      }
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'p':
        emit_number(out, s, ap);
        break;
      default:
        break;  // unknown conversions produce nothing, as on Windows
    }
  }
  va_end(ap);
  if (out.size() > kMaxOut - 1) out.resize(kMaxOut - 1);
  memcpy(lpOut, out.c_str(), out.size() + 1);
  return (int)out.size();
}

int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  va_list ap;
  va_start(ap, lpFmt);
  int n = wvsprintfA(lpOut, lpFmt, ap);
  va_end(ap);
  return n;
}
