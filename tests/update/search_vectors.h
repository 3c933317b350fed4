#pragma once
// Generated once by make_search_vectors.py with the development keys (tools/dev-keys).

#include <string_view>

namespace zelk::search_vectors {

// Acceptable until 2099, dated 2025-06-01T00:00:00Z; signed with the primary key.
inline constexpr std::string_view kCurrentManifest =
    "{\n"
    "  \"date\": \"2025-06-01T00:00:00Z\",\n"
    "  \"expires\": \"2099-12-31T23:59:59Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": \"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kCurrentSignature = "mHB7+MWdRt6nNtzoKCCe2/NGer+Q9OUbFdBTNOAx6I3zHeYRAJ6SmHMUkXoAfTGSPL1e5SKuX1VV0sIn4TWeoQ==";

// Acceptable until 2099, dated 2025-07-01T00:00:00Z; signed with the secondary key.
inline constexpr std::string_view kBetaManifest =
    "{\n"
    "  \"date\": \"2025-07-01T00:00:00Z\",\n"
    "  \"expires\": \"2099-12-31T23:59:59Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": \"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kBetaSignature = "17Sv4N1fhbTOQq+PszxhIGxU30vskump85wFIO8U/+IGxEqInKDrP7kN2H6cWOohGMUqejPyj9ll/XbkR0muvg==";

// Expired since 2020-02-01T00:00:00Z.
inline constexpr std::string_view kExpiredManifest =
    "{\n"
    "  \"date\": \"2020-01-01T00:00:00Z\",\n"
    "  \"expires\": \"2020-02-01T00:00:00Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": \"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kExpiredSignature = "TOSlmwgu2KpyNR19UVFeysRbcMPLHfdoHjg7EykI5IZufPABY4Se3RrB3l6kDuWlzR6uWlDMrWezh30H+wEinw==";

// Validly signed, but not a JSON object.
inline constexpr std::string_view kNotAnObjectManifest =
    "[\"date\", \"2025-06-01T00:00:00Z\"]\n";
inline constexpr std::string_view kNotAnObjectSignature = "49KopMnsfqk/6C9g5uQTftNLwsw3AaOHsoBv140T4XmFvuVKPjG5uu3qhpTHgEKj4rxTicbI+XBfrOLFiGy2BQ==";

}  // namespace zelk::search_vectors
