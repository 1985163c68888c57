#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/security/secret_store.hpp"

namespace tarvel::testing {

/// An in-memory SecretStore that records the accounts written, in order, and
/// fails the operations it is told to fail (failing calls change nothing).
class MemorySecretStore final : public security::SecretStore {
  public:
    enum class Op { read, write, remove };
    using Error = security::SecretStoreError;

    std::map<std::string, security::Bytes, std::less<>> entries;
    std::vector<std::string> writes;  // including failed ones
    void fail(Op op, Error error, std::string account) {
        failures_.insert({{op, std::move(account)}, std::move(error)});
    }

    tl::expected<std::optional<security::Bytes>, Error> read(std::string_view account) override {
        if (auto it = failures_.find({Op::read, std::string(account)}); it != failures_.end()) {
            return tl::unexpected(it->second);
        }
        auto it = entries.find(account);
        return it == entries.end() ? std::nullopt : std::optional(it->second);
    }
    tl::expected<void, Error> write(security::ByteView data, std::string_view account) override {
        writes.emplace_back(account);
        if (auto it = failures_.find({Op::write, std::string(account)}); it != failures_.end()) {
            return tl::unexpected(it->second);
        }
        entries[std::string(account)] = security::Bytes(data.begin(), data.end());
        return {};
    }
    tl::expected<void, Error> remove(std::string_view account) override {
        if (auto it = failures_.find({Op::remove, std::string(account)}); it != failures_.end()) {
            return tl::unexpected(it->second);
        }
        entries.erase(std::string(account));
        return {};
    }

  private:
    std::map<std::pair<Op, std::string>, Error> failures_;
};

}  // namespace tarvel::testing
