// Files on disk through the standard library.
#pragma once

#include "base/ports.h"

namespace qv {

class StdFileSystem final : public IFileSystem {
  public:
    bool Exists(const std::string& path) const override;
    void Remove(const std::string& path) override;
    std::string ReadAll(const std::string& path) const override;
    void WriteReplace(const std::string& path, std::string_view data) override;
    void Append(const std::string& path, std::string_view data) override;
};

}  // namespace qv
