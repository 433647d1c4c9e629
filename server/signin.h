#pragma once

// The pages of the server's own identity provider: the sign-in form, its checks, the page that
// hands the browser over to the application, and the small error page. No HTTP here: the
// server decides statuses and headers.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quorvale::server {

// What the form carries: the proof-key challenge and the application's state in hidden fields,
// and what the user typed.
struct SignInForm
{
    std::string challenge;
    std::string appState;
    std::string name;
    std::string email;
};

// The messages of the error pages, in Spanish and English.
inline constexpr const char *signInLinkProblem =
    "Este enlace de inicio de sesión no es válido. Vuelve a iniciar sesión desde la aplicación "
    "Quorvale. / This sign-in link is not valid. Start the sign-in again from the Quorvale app.";
inline constexpr const char *unreadableSignInForm =
    "No se pudo leer el formulario. Vuelve a intentarlo. / The form could not be read. Please "
    "try again.";
inline constexpr const char *signInServerProblem =
    "Algo falló en el servidor. Vuelve a intentarlo. / Something went wrong on the server. "
    "Please try again.";

// The Content-Security-Policy of every sign-in page: nothing but the pages' own style sheet,
// no scripts, no frames, and forms that go only here or on to the application.
const std::string &signInPagePolicy();

// Text made safe to place in HTML content or in a quoted attribute.
std::string escapeHtml(std::string_view text);
// An application/x-www-form-urlencoded body; the first of repeated names wins.
std::map<std::string, std::string> parseFormBody(std::string_view body);

// Whether the hidden fields can lead anywhere: a 43-character challenge and a usable state.
bool hasUsableLink(const SignInForm &form);
// What is wrong with what the user typed, in Spanish and English; nothing when it can be used.
std::optional<std::string> formProblem(const SignInForm &form);

// The form, filled in with what it carries, and with a message above it when there is one.
std::string signInPage(const SignInForm &form, std::string_view problem = {});
// A page for a link that cannot lead to a sign-in, or a failure of the server.
std::string errorPage(std::string_view message);
// Where the browser goes after a successful sign-in, and a page with that link for browsers
// that do not follow a redirect to another application.
std::string callbackUrl(std::string_view appState, std::string_view code);
std::string handOverPage(std::string_view url);

} // namespace quorvale::server
