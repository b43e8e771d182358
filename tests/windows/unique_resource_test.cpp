#include "platform/unique_resource.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace korvanthelm {
namespace {

// Records every close, so a double close, a leak on move or a wrong empty
// value shows up in the log.
struct CountingTraits {
    using Value = int;
    static Value Empty() noexcept { return -1; }
    void Close(Value value) const noexcept { log->push_back(value); }
    std::vector<int>* log = nullptr;
};
using Counted = UniqueResource<CountingTraits>;

TEST(UniqueResource, ClosesEachValueExactlyOnce) {
    std::vector<int> log;
    {
        Counted a(1, CountingTraits{&log});
        Counted b(2, CountingTraits{&log});
        b = std::move(a);         // 2 closed, 1 now owned by b
        Counted c(std::move(b));  // ownership moves, nothing closed
        Counted empty(-1, CountingTraits{&log});
        EXPECT_FALSE(empty);
        EXPECT_TRUE(c);
        *c.put() = 3;               // 1 closed before the out pointer is handed out
        c.reset(4);                 // 3 closed
        EXPECT_EQ(c.release(), 4);  // released: never closed
    }
    EXPECT_EQ(log, (std::vector<int>{2, 1, 3}));
}

TEST(UniqueResource, ClosingKeepsTheLastError) {
    struct Traits {
        using Value = int;
        static Value Empty() noexcept { return 0; }
        void Close(Value) const noexcept { SetLastError(ERROR_INVALID_HANDLE); }
    };
    {
        UniqueResource<Traits> owner(5);
        SetLastError(ERROR_FILE_EXISTS);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
}

}  // namespace
}  // namespace korvanthelm
