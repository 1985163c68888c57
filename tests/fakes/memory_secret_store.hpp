#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/security/secret_store.hpp"

namespace tarvel::testing {

/// An in-memory SecretStore that records every call in order and fails the
/// operations it is told to fail (failing calls are recorded too and change nothing).
class MemorySecretStore final : public security::SecretStore {
  public:
    enum class Op { read, write, remove };

    struct Call {
        Op op;
        std::string account;
        friend bool operator==(const Call&, const Call&) = default;
    };

    std::map<std::string, security::Bytes, std::less<>> entries;
    std::vector<Call> calls;

    /// Fails every `op` on `account`, or on every account when none is given.
    void fail(Op op, security::SecretStoreError error,
              std::optional<std::string> account = std::nullopt) {
        failures_.push_back({op, std::move(account), std::move(error)});
    }

    /// Accounts written, in order.
    std::vector<std::string> writes() const {
        std::vector<std::string> out;
        for (const auto& call : calls) {
            if (call.op == Op::write) {
                out.push_back(call.account);
            }
        }
        return out;
    }

    tl::expected<std::optional<security::Bytes>, security::SecretStoreError> read(
        std::string_view account) override {
        calls.push_back({Op::read, std::string(account)});
        if (auto error = failure(Op::read, account)) {
            return tl::unexpected(*error);
        }
        auto it = entries.find(account);
        if (it == entries.end()) {
            return std::optional<security::Bytes>();
        }
        return std::optional<security::Bytes>(it->second);
    }

    tl::expected<void, security::SecretStoreError> write(security::ByteView data,
                                                         std::string_view account) override {
        calls.push_back({Op::write, std::string(account)});
        if (auto error = failure(Op::write, account)) {
            return tl::unexpected(*error);
        }
        entries[std::string(account)] = security::Bytes(data.begin(), data.end());
        return {};
    }

    tl::expected<void, security::SecretStoreError> remove(std::string_view account) override {
        calls.push_back({Op::remove, std::string(account)});
        if (auto error = failure(Op::remove, account)) {
            return tl::unexpected(*error);
        }
        if (auto it = entries.find(account); it != entries.end()) {
            entries.erase(it);
        }
        return {};
    }

  private:
    struct Failure {
        Op op;
        std::optional<std::string> account;
        security::SecretStoreError error;
    };

    std::optional<security::SecretStoreError> failure(Op op, std::string_view account) const {
        for (const auto& rule : failures_) {
            if (rule.op == op && (!rule.account || *rule.account == account)) {
                return rule.error;
            }
        }
        return std::nullopt;
    }

    std::vector<Failure> failures_;
};

}  // namespace tarvel::testing
