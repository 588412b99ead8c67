// Parsing of thread counts and the precedence of the two environment variables.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "parallel/thread_count.h"
#include "parallel/worker_pool.h"

namespace {

using caustiqa::parallel::configured_thread_count;
using caustiqa::parallel::parse_thread_count;

constexpr std::size_t max_size = std::numeric_limits<std::size_t>::max();

struct Parse {
    const char* text;
    std::optional<std::size_t> expected;
};

class ParseThreadCount : public testing::TestWithParam<Parse> {};

TEST_P(ParseThreadCount, Table) {
    const Parse& param = GetParam();
    EXPECT_EQ(parse_thread_count(param.text), param.expected) << '"' << param.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseThreadCount,
    testing::Values(Parse{"4", 4}, Parse{"+4", 4}, Parse{"0", 0}, Parse{"007", 7}, Parse{"+0", 0},
                    Parse{"70000", 70000}, Parse{"18446744073709551615", max_size},
                    Parse{"18446744073709551616", std::nullopt}, // one above the largest
                    Parse{"99999999999999999999", std::nullopt}, Parse{" 4", std::nullopt},
                    Parse{"4 ", std::nullopt}, Parse{"-4", std::nullopt}, Parse{"-0", std::nullopt},
                    Parse{"4x", std::nullopt}, Parse{"x4", std::nullopt}, Parse{"", std::nullopt},
                    Parse{"+", std::nullopt}, Parse{"++4", std::nullopt}, Parse{"4+", std::nullopt},
                    Parse{"0x10", std::nullopt}, Parse{"1e3", std::nullopt},
                    Parse{"\xef\xbc\x94", std::nullopt}, // a full-width digit four
                    Parse{"\xff", std::nullopt}));

// Sets or removes one environment variable for the lifetime of the object.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedVariable() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

constexpr std::size_t processors = 0; // marks "the number of online processors"

struct Environment {
    const char* num_threads; // RAYON_NUM_THREADS, null when unset
    const char* num_cpus;    // RAYON_RS_NUM_CPUS, null when unset
    std::size_t expected;
};

class ConfiguredThreadCount : public testing::TestWithParam<Environment> {
protected:
    // The process-wide pool reads the environment once; create it before
    // the variables change, so that it never sees 65,535 threads requested.
    static void SetUpTestSuite() { caustiqa::parallel::WorkerPool::global(); }
};

TEST_P(ConfiguredThreadCount, Table) {
    const Environment& env = GetParam();
    const ScopedVariable threads("RAYON_NUM_THREADS", env.num_threads);
    const ScopedVariable cpus("RAYON_RS_NUM_CPUS", env.num_cpus);
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    const std::size_t expected = env.expected != processors
                                     ? env.expected
                                     : static_cast<std::size_t>(online >= 1 ? online : 1);
    EXPECT_EQ(configured_thread_count(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Variables, ConfiguredThreadCount,
    testing::Values(Environment{nullptr, nullptr, processors}, Environment{"1", nullptr, 1},
                    Environment{"3", "5", 3}, Environment{"+4", nullptr, 4},
                    Environment{"0", nullptr, processors},
                    Environment{"0", "3", processors}, // 0 selects the default at once
                    Environment{nullptr, "3", 3}, Environment{"", "3", 3},
                    Environment{" 4", "3", 3}, Environment{"-4", "3", 3}, Environment{"4x", "3", 3},
                    Environment{"\xff", "3", 3}, Environment{"18446744073709551616", "5", 5},
                    Environment{nullptr, "0", processors}, Environment{nullptr, "x", processors},
                    Environment{"x", "", processors}, Environment{"65535", nullptr, 65535},
                    Environment{"70000", nullptr, 65535},
                    Environment{"18446744073709551615", "2", 65535},
                    Environment{"x", "100000", 65535}));

} // namespace
