#include "db/recordset_packet.h"

#include <set>

#include "base/text.h"

namespace appsrv::db {
namespace {

constexpr std::string_view kRootStart =
    "<xml xmlns:s=\"uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882\""
    " xmlns:dt=\"uuid:C2F41010-65B3-11d1-A29F-00AA00C14882\""
    " xmlns:rs=\"urn:schemas-microsoft-com:rowset\" xmlns:z=\"#RowsetSchema\">\r\n";

// Sizes a client expects for long columns: a memo and an OLE object of the classic file
// database.
constexpr std::string_view kMemoMaxLength = "536870910";
constexpr std::string_view kBlobMaxLength = "1073741823";

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at `s[i]` that is also an XML character, or 0.
size_t valid_sequence_length(std::string_view s, size_t i) {
  const std::optional<base::Utf8Char> c = base::decode_utf8_at(s, i);
  return c && c->code_point != 0xFFFE && c->code_point != 0xFFFF ? c->length : 0;
}

struct DatatypeFacets {
  std::string_view type;
  std::string_view dbtype;
  std::string max_length;
  bool fixed = false;
  bool is_long = false;
};

DatatypeFacets facets_of(const TFieldDef& def) {
  switch (def.data_type) {
    case FieldType::kWideString:
      return {"string", {}, std::to_string(def.size)};
    case FieldType::kGuid:
      return {"uuid", {}, "16", true};
    case FieldType::kInteger:
    case FieldType::kAutoInc:
      return {"int", {}, "4", true};
    case FieldType::kSmallint:
      return {"i2", {}, "2", true};
    case FieldType::kByte:
      return {"ui1", {}, "1", true};
    case FieldType::kLargeint:
      return {"i8", {}, "8", true};
    case FieldType::kFloat:
      return {"float", {}, "8", true};
    case FieldType::kBCD:
      return def.currency ? DatatypeFacets{"number", "currency", "8", true}
                          : DatatypeFacets{"number", "numeric", "19", true};
    case FieldType::kBoolean:
      return {"boolean", {}, "2", true};
    case FieldType::kDateTime:
      return {"dateTime", "variantdate", "16", true};
    case FieldType::kDate:
      return {"date", {}, "6", true};
    case FieldType::kTime:
      return {"time", {}, "6", true};
    case FieldType::kWideMemo:
      return {"string", {}, std::string(kMemoMaxLength), false, true};
    case FieldType::kBlob:
      return {"bin.hex", {}, std::string(kBlobMaxLength), false, true};
    case FieldType::kBytes:
      return {"bin.hex", {}, std::to_string(def.size), true};
    case FieldType::kVarBytes:
      return {"bin.hex", {}, std::to_string(def.size)};
  }
  return {"string", {}, std::to_string(def.size)};
}

// "c<index>". Built by appending: g++ 12 warns falsely on alias_name(i).
std::string alias_name(size_t index) {
  std::string name = "c";
  name += std::to_string(index);
  return name;
}

}  // namespace

bool is_plain_xml_name(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9') || base::istarts_with(name, "xml")) {
    return false;
  }
  for (const char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) {
      return false;
    }
  }
  return true;
}

std::vector<std::string> packet_attribute_names(const std::vector<std::string>& column_names) {
  const size_t n = column_names.size();
  std::vector<bool> aliased(n);
  std::set<std::string> seen;
  for (size_t i = 0; i < n; ++i) {
    aliased[i] = !is_plain_xml_name(column_names[i]) || !seen.insert(column_names[i]).second;
  }
  // A kept name that equals another column's alias ("c1" beside a column 1 called "a b") is
  // aliased as well, until no two columns share a name.
  for (bool changed = true; changed;) {
    changed = false;
    std::set<std::string> aliases;
    for (size_t i = 0; i < n; ++i) {
      if (aliased[i]) {
        aliases.insert(alias_name(i));
      }
    }
    for (size_t i = 0; i < n; ++i) {
      if (!aliased[i] && aliases.count(column_names[i]) != 0) {
        aliased[i] = true;
        changed = true;
      }
    }
  }
  std::vector<std::string> names(n);
  for (size_t i = 0; i < n; ++i) {
    names[i] = aliased[i] ? alias_name(i) : column_names[i];
  }
  return names;
}

void append_attribute_text(std::string& out, std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x80) {
      const size_t len = valid_sequence_length(text, i);
      if (len == 0) {
        out += kReplacement;
        ++i;
      } else {
        out.append(text.substr(i, len));
        i += len;
      }
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        if (b < 0x20) {
          out += kReplacement;
        } else {
          out += c;
        }
    }
    ++i;
  }
}

PacketWriter::PacketWriter(const std::vector<std::unique_ptr<TField>>& fields) : fields_(fields) {
  std::vector<std::string> columns;
  columns.reserve(fields.size());
  for (const auto& field : fields) {
    columns.push_back(field->FieldName());
  }
  names_ = packet_attribute_names(columns);
  out_ += kRootStart;
  write_schema();
  out_ += "\t<rs:data>\r\n";
}

void PacketWriter::indent(int depth) { out_.append(static_cast<size_t>(depth), '\t'); }

void PacketWriter::write_schema() {
  out_ += "\t<s:Schema id=\"RowsetSchema\">\r\n";
  out_ += "\t\t<s:ElementType name=\"row\" content=\"eltOnly\" rs:updatable=\"true\">\r\n";
  for (size_t i = 0; i < fields_.size(); ++i) {
    const TFieldDef& def = fields_[i]->def();
    out_ += "\t\t\t<s:AttributeType name=\"";
    out_ += names_[i];
    out_ += '"';
    if (names_[i] != def.name) {
      out_ += " rs:name=\"";
      append_attribute_text(out_, def.name);
      out_ += '"';
    }
    out_ += " rs:number=\"" + std::to_string(i + 1) + '"';
    if (!def.required) {
      out_ += " rs:nullable=\"true\"";
    }
    out_ += " rs:write=\"true\">\r\n";

    const DatatypeFacets f = facets_of(def);
    out_ += "\t\t\t\t<s:datatype dt:type=\"";
    out_ += f.type;
    out_ += '"';
    if (!f.dbtype.empty()) {
      out_ += " rs:dbtype=\"";
      out_ += f.dbtype;
      out_ += '"';
    }
    out_ += " dt:maxLength=\"" + f.max_length + '"';
    if (def.data_type == FieldType::kBCD && !def.currency) {
      out_ += " rs:scale=\"" + std::to_string(def.scale) + "\" rs:precision=\"" +
              std::to_string(def.precision) + '"';
    } else {
      out_ += " rs:precision=\"0\"";
    }
    if (f.fixed) {
      out_ += " rs:fixedlength=\"true\"";
    }
    if (f.is_long) {
      out_ += " rs:long=\"true\"";
    }
    // Nullable columns leave rs:maybenull out, so that a missing row attribute reads as NULL.
    if (def.required) {
      out_ += " rs:maybenull=\"false\"";
    }
    out_ += "/>\r\n\t\t\t</s:AttributeType>\r\n";
  }
  out_ += "\t\t\t<s:extends type=\"rs:rowbase\"/>\r\n";
  out_ += "\t\t</s:ElementType>\r\n";
  out_ += "\t</s:Schema>\r\n";
}

void PacketWriter::write_row(int depth) {
  indent(depth);
  out_ += "<z:row";
  for (size_t i = 0; i < fields_.size(); ++i) {
    const TField& field = *fields_[i];
    if (field.IsNull()) {
      continue;
    }
    out_ += ' ';
    out_ += names_[i];
    out_ += "=\"";
    append_attribute_text(
        out_, field.value_is_readable() ? field.packet_text() : field.TField::AsString());
    out_ += '"';
  }
  out_ += "/>\r\n";
}

void PacketWriter::open_element(std::string_view name, int depth) {
  indent(depth);
  out_ += '<';
  out_ += name;
  out_ += ">\r\n";
}

void PacketWriter::close_element(std::string_view name, int depth) {
  indent(depth);
  out_ += "</";
  out_ += name;
  out_ += ">\r\n";
}

std::string PacketWriter::finish() {
  out_ += "\t</rs:data>\r\n</xml>";
  return std::move(out_);
}

}  // namespace appsrv::db
