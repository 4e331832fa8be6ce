// The texts computed from one file, kept for the lists after the first.
#include "checks/rule.h"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "platform/file.h"

namespace ondrel {

namespace {

// A rule that threw before, thrown again with its reason.
class ThrownBefore : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The compute function's address, then each argument after a NUL (no
// argument holds one: values come from C strings).
std::string KeyOf(RuleCompute compute, const RuleArguments& arguments) {
    std::string key(sizeof compute, '\0');
    std::memcpy(key.data(), &compute, sizeof compute);
    for (const std::string& a : arguments) {
        key += '\0';
        key += a;
    }
    return key;
}

}  // namespace

std::string ComputedTexts::Compute(RuleCompute compute, const RuleContext& context, const RuleArguments& arguments) {
    std::string key = KeyOf(compute, arguments);
    if (auto found = kept_.find(key); found != kept_.end()) {
        if (found->second.threw) throw ThrownBefore(found->second.reason);
        return found->second.text;
    }
    std::string text;
    try {
        text = compute(context, arguments);
    } catch (const std::bad_alloc&) {
        throw;  // the process, not the file: never kept
    } catch (const platform::ResourcesExhausted&) {
        throw;
    } catch (const std::exception& e) {
        kept_.emplace(std::move(key), Kept{{}, true, e.what()});
        throw;
    } catch (...) {
        kept_.emplace(std::move(key), Kept{{}, true, "unknown failure"});
        throw;
    }
    kept_.emplace(std::move(key), Kept{text, false, {}});
    return text;
}

}  // namespace ondrel
