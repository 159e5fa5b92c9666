# Writes the page into a C++ source as one raw string, so the program serves it from itself.
file(READ ${IN} page)
string(FIND "${page}" ")page\"" clash)
if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${IN} holds the raw string's end marker")
endif()
file(WRITE ${OUT} "#include \"WelcomePage.h\"\n\nstd::string_view web::WelcomePage() {\n"
                  "    static constexpr char kPage[] = R\"page(${page})page\";\n"
                  "    return {kPage, sizeof kPage - 1};\n}\n")
