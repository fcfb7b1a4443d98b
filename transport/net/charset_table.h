// The charset names and aliases the transport knows, with their code pages, and the iconv name
// of each code page.
#pragma once

#include <string_view>

namespace appsrv::transport {

// Code page of a charset name or alias, compared without case; 0 when unknown.
int code_page_of_charset(std::string_view charset);
// iconv's name for a code page, or nullptr when there is none.
const char* iconv_name_of_code_page(int code_page);

}  // namespace appsrv::transport
