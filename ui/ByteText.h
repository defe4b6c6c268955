#pragma once

#include <QString>

#include <string>

namespace tarnwick {

// The records keep their texts as byte strings and must get them back unchanged. A field
// shows the bytes decoded as UTF-8 (bytes that are not valid UTF-8 show as replacement
// characters). When the field is read back, a text the user left as it was shown keeps
// the record's original bytes; any other text is stored as UTF-8.
QString ToFieldText(const std::string& bytes);
std::string FromFieldText(const QString& text, const std::string& original);

}  // namespace tarnwick
