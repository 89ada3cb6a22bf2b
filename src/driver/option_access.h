// The typed Get/SetOption families of ADBC 1.1, built on each handle's text
// options: every option that can be set reads back as text, as an integer or
// double when its text is one, and as bytes.
#pragma once

#include <adbc.h>
#include <arrow/result.h>

#include <cstdint>
#include <string>

namespace zv {

// Reading an option that is not set, or that this driver does not know.
arrow::Status OptionNotSet(const std::string& key);
// Secrets (passwords, tokens) are accepted but never handed back.
arrow::Status SecretOption(const std::string& key);

// ADBC GetOption buffer rules: `*length` becomes the size the value needs
// (with its terminating NUL for text); the value is copied only when the
// host's buffer (of the size `*length` gave on entry) holds it all.
void CopyOptionText(const std::string& value, char* out, size_t* length);
void CopyOptionBytes(const std::string& value, uint8_t* out, size_t* length);

arrow::Result<int64_t> OptionAsInt(const std::string& key, const std::string& value);
arrow::Result<double> OptionAsDouble(const std::string& key, const std::string& value);

// Text for SetOptionInt/Double/Bytes, which set the same option as SetOption.
std::string IntOptionText(int64_t value);
std::string DoubleOptionText(double value);
arrow::Result<std::string> BytesOptionText(const std::string& key, const uint8_t* value,
                                           size_t length);

}  // namespace zv
