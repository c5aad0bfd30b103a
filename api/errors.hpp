// SPDX-License-Identifier: LGPL-2.1-or-later
// A rejected call: the identifier the plug-ins report ("veltrax:badOrder",
// ...) and a message that names the input or field and what was expected.
#pragma once

#include <stdexcept>
#include <string>

namespace veltrax {

class Error : public std::runtime_error {
public:
    Error(std::string id, const std::string& message) : std::runtime_error(message), id_(std::move(id)) {}
    const std::string& id() const noexcept { return id_; }

private:
    std::string id_;
};

}  // namespace veltrax
