// Built into every test executable. Under AddressSanitizer a request larger than the
// sanitizer's own limit aborts the process by default, where the real allocator would
// simply refuse it; the buffer and the readers must see that refusal (a null from
// new (std::nothrow)) to prove that absurd dimensions fail cleanly.
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}
