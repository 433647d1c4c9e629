#include "server/signin.h"

#include "server/text.h"
#include "server/util.h"

namespace quorvale::server {

namespace {

constexpr std::size_t maxStateBytes = 1024;

// The pages' only style sheet. The policy allows exactly this text by its hash, so that nothing
// injected into a page could style it either.
constexpr std::string_view styleSheet =
    "body{margin:0;min-height:100vh;display:flex;align-items:center;justify-content:center;"
    "background:#f4f5f7;color:#1d2129;font:16px/1.45 system-ui,-apple-system,'Segoe UI',"
    "Roboto,sans-serif}"
    "main{width:min(22rem,calc(100vw - 2rem));background:#fff;border-radius:12px;"
    "padding:2rem;box-shadow:0 1px 3px rgba(0,0,0,.12),0 8px 24px rgba(0,0,0,.06)}"
    "h1{margin:0 0 .25rem;font-size:1.6rem;font-weight:650;letter-spacing:-.01em}"
    "p{margin:0 0 1.25rem;color:#5b6270}"
    "label{display:block;margin:1rem 0 .3rem;font-weight:600;font-size:.9rem}"
    "input{box-sizing:border-box;width:100%;padding:.6rem .7rem;font:inherit;"
    "border:1px solid #c6cad2;border-radius:8px}"
    "input:focus{outline:2px solid #3464e0;outline-offset:1px;border-color:#3464e0}"
    "button{margin-top:1.5rem;width:100%;padding:.7rem;font:inherit;font-weight:600;"
    "color:#fff;background:#3464e0;border:0;border-radius:8px;cursor:pointer}"
    "button:hover{background:#2a54c4}"
    "a{color:#3464e0}"
    ".error{padding:.6rem .75rem;border-radius:8px;background:#fdecec;color:#a32020}";

std::string page(std::string_view content)
{
    std::string html = "<!DOCTYPE html>\n<html lang=\"es\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                       "<meta name=\"referrer\" content=\"no-referrer\">\n"
                       "<title>Quorvale</title>\n<style>";
    html += styleSheet;
    html += "</style>\n</head>\n<body>\n<main>\n<h1>Quorvale</h1>\n";
    html += content;
    html += "</main>\n</body>\n</html>\n";
    return html;
}

std::string hiddenField(std::string_view name, std::string_view value)
{
    return "<input type=\"hidden\" name=\"" + std::string(name) + "\" value=\"" +
           escapeHtml(value) + "\">\n";
}

} // namespace

const std::string &signInPagePolicy()
{
    static const std::string policy = "default-src 'none'; style-src 'sha256-" +
                                      base64(sha256(styleSheet)) +
                                      "'; form-action 'self' mx.qvl.quorvale:; "
                                      "frame-ancestors 'none'; base-uri 'none'";
    return policy;
}

std::string escapeHtml(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
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
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::map<std::string, std::string> parseFormBody(std::string_view body)
{
    std::map<std::string, std::string> fields;
    while (!body.empty()) {
        const auto amp = body.find('&');
        const std::string_view pair = body.substr(0, amp);
        body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
        if (pair.empty())
            continue;
        const auto equals = pair.find('=');
        const std::string name = percentDecode(pair.substr(0, equals), true);
        const std::string value = equals == std::string_view::npos
                                      ? std::string()
                                      : percentDecode(pair.substr(equals + 1), true);
        fields.emplace(name, value);
    }
    return fields;
}

bool hasUsableLink(const SignInForm &form)
{
    return isPkceChallenge(form.challenge) && !form.appState.empty() &&
           isUsableText(form.appState, maxStateBytes) && isValidUtf8(form.appState);
}

std::optional<std::string> formProblem(const SignInForm &form)
{
    if (form.name.empty())
        return "Escribe tu nombre. / Enter your name.";
    if (!isUsableText(form.name, maxNameBytes) || !isValidUtf8(form.name))
        return "El nombre es demasiado largo o contiene caracteres no permitidos. / The name is "
               "too long or contains characters that are not allowed.";
    if (form.email.empty())
        return "Escribe tu correo. / Enter your e-mail address.";
    if (!isUsableEmail(form.email) || !isValidUtf8(form.email))
        return "Escribe un correo válido, como nombre@ejemplo.com. / Enter a valid e-mail "
               "address, such as name@example.com.";
    return std::nullopt;
}

std::string signInPage(const SignInForm &form, std::string_view problem)
{
    std::string content = "<p>Inicia sesión para volver a la aplicación.<br>"
                          "<span lang=\"en\">Sign in to return to the app.</span></p>\n";
    if (!problem.empty())
        content += "<p class=\"error\" role=\"alert\">" + escapeHtml(problem) + "</p>\n";
    content += "<form method=\"post\" action=\"/auth/login\">\n";
    content += hiddenField("challenge", form.challenge);
    content += hiddenField("app_state", form.appState);
    content += "<label for=\"name\">Nombre / Name</label>\n"
               "<input id=\"name\" name=\"name\" type=\"text\" autocomplete=\"name\" required "
               "maxlength=\"" +
               std::to_string(maxNameBytes) + "\" value=\"" + escapeHtml(form.name) +
               "\">\n"
               "<label for=\"email\">Correo / Email</label>\n"
               "<input id=\"email\" name=\"email\" type=\"email\" autocomplete=\"email\" "
               "required maxlength=\"254\" value=\"" +
               escapeHtml(form.email) +
               "\">\n"
               "<button type=\"submit\">Entrar / Sign in</button>\n"
               "</form>\n";
    return page(content);
}

std::string errorPage(std::string_view message)
{
    return page("<p class=\"error\" role=\"alert\">" + escapeHtml(message) + "</p>\n");
}

std::string callbackUrl(std::string_view appState, std::string_view code)
{
    return "mx.qvl.quorvale://oauth?state=" + percentEncode(appState) +
           "&code=" + percentEncode(code);
}

std::string handOverPage(std::string_view url)
{
    return page("<p>Volviendo a la aplicación… Si no se abre, "
                "<a href=\"" +
                escapeHtml(url) +
                "\">ábrela aquí</a>.<br><span lang=\"en\">Returning to the app… If it does not "
                "open, <a href=\"" +
                escapeHtml(url) + "\">open it here</a>.</span></p>\n");
}

} // namespace quorvale::server
