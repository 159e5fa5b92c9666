// The welcome page: HTML with its style and script inside, served as it stands.
#pragma once

#include <string_view>

namespace web {

/// The page's bytes (page/index.html, compiled in).
std::string_view WelcomePage();

}  // namespace web
