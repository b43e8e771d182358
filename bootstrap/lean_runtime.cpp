// Two pieces of the C++ runtime, replaced in the bootstrapper's executable to
// keep about 110 KB of code out of it that the program never needs. Both
// definitions stand in for the runtime's own (libstdc++'s vterminate.o and
// functexcept.o): when these exist, the linker takes nothing from those
// files. Should a later runtime put one of these symbols in a file the exe
// needs anyway, the link fails on the duplicate instead of silently keeping
// both.
#include <cstdlib>
#include <exception>
#include <new>
#include <typeinfo>

namespace {

// What the standard containers throw when asked for the impossible (a
// string or vector beyond its largest size, a position past the end). The
// runtime's own exception types for these carry their text in a
// reference-counted string, and that string class pulls the narrow string
// code, twice, into the exe. In the bootstrapper these are program faults or
// impossible sizes: wWinMain turns any of them into the generic failure
// message, exactly as it did the runtime's types.
class LibraryError final : public std::exception {
  public:
    explicit LibraryError(const char* what) noexcept : what_(what) {}
    const char* what() const noexcept override { return what_; }

  private:
    const char* what_;  // the library's own literals: they live as long as the program
};

}  // namespace

namespace __gnu_cxx {

// Called when an exception escapes everything (wWinMain catches all, so not in
// a correct run). The runtime's default prints the exception's demangled type
// to stderr first, which a windowed program without a console cannot show;
// its demangler and the printf code behind it are about half the saving. GCC's
// --disable-libstdcxx-verbose makes the same trade.
void __verbose_terminate_handler() {
    std::abort();
}

}  // namespace __gnu_cxx

namespace std {

void __throw_bad_exception() {
    throw bad_exception();
}
void __throw_bad_alloc() {
    throw bad_alloc();
}
void __throw_bad_array_new_length() {
    throw bad_array_new_length();
}
void __throw_bad_cast() {
    throw bad_cast();
}
void __throw_bad_typeid() {
    throw bad_typeid();
}
void __throw_logic_error(const char* what) {
    throw LibraryError(what);
}
void __throw_domain_error(const char* what) {
    throw LibraryError(what);
}
void __throw_invalid_argument(const char* what) {
    throw LibraryError(what);
}
void __throw_length_error(const char* what) {
    throw LibraryError(what);
}
void __throw_out_of_range(const char* what) {
    throw LibraryError(what);
}
// The runtime fills in the format's numbers; nobody reads the text here.
void __throw_out_of_range_fmt(const char* format, ...) {
    throw LibraryError(format);
}
void __throw_runtime_error(const char* what) {
    throw LibraryError(what);
}
void __throw_range_error(const char* what) {
    throw LibraryError(what);
}
void __throw_overflow_error(const char* what) {
    throw LibraryError(what);
}
void __throw_underflow_error(const char* what) {
    throw LibraryError(what);
}

}  // namespace std
