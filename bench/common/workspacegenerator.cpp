#include "workspacegenerator.h"

#include <array>
#include <cstdio>
#include <random>
#include <string_view>

namespace quorvale::bench {

namespace {

constexpr std::array<std::string_view, 16> phrases = {
    "Revisión del presupuesto anual con el equipo de finanzas",
    "Acción: enviar el acta a todos los asistentes 📎",
    "La reunión empezó tarde; acordamos mover la demo al jueves",
    "Ideas para la campaña de otoño 🍂 — priorizar el canal móvil",
    "Pendiente: validar la migración con el área de operaciones",
    "Niño, año, pingüino: probamos caracteres con tilde y diéresis",
    "Decisión: adoptar el nuevo flujo de aprobación 🚀",
    "Notas rápidas sobre la entrevista con el cliente de Querétaro",
    "Se habló de los riesgos del calendario y de la contratación",
    "Resumen: el piloto funcionó bien, falta documentación técnica",
    "¿Quién se encarga de la presentación del viernes? 🤔",
    "Tareas: 1) actualizar el tablero 2) cerrar incidencias",
    "Comentarios del comité: más datos sobre retención de usuarios",
    "Próximos pasos: agendar sesión de diseño con UX ✏️",
    "Observación: la latencia del servidor bajó un 30 % tras el cambio",
    "Recordatorio: la oficina estará cerrada el lunes festivo 🎉",
};
constexpr std::array<std::string_view, 8> titles = {
    "Planificación trimestral",
    "Reunión de equipo",
    "Diseño de la aplicación",
    "Notas de investigación",
    "Retrospectiva",
    "Hoja de ruta 🗺️",
    "Presupuesto",
    "Entrevistas con clientes",
};
constexpr std::array<std::string_view, 11> types = {
    "text", "h1", "h2", "h3", "bullet", "number", "todo", "quote", "callout", "code", "divider"};
constexpr std::array<std::string_view, 3> statuses = {"Sin empezar", "En curso", "Listo"};
constexpr std::array<std::string_view, 3> priorities = {"Baja", "Media", "Alta"};

class Generator
{
public:
    explicit Generator(unsigned seed)
        : m_random(seed)
    {}

    std::string uuid()
    {
        char out[37];
        const std::uint64_t a = m_random();
        const std::uint64_t b = m_random();
        std::snprintf(out, sizeof out, "%08x-%04x-4%03x-%04x-%012llx",
                      static_cast<unsigned>(a >> 32), static_cast<unsigned>((a >> 16) & 0xFFFF),
                      static_cast<unsigned>(a & 0xFFF),
                      static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3FFF)),
                      static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
        return out;
    }

    template <std::size_t N>
    std::string_view pick(const std::array<std::string_view, N> &items)
    {
        return items[m_random() % N];
    }

    bool chance(unsigned percent) { return m_random() % 100 < percent; }

    std::string date(std::size_t i)
    {
        char out[32];
        std::snprintf(out, sizeof out, "2026-%02zu-%02zuT%02zu:%02zu:00Z", 1 + i % 12, 1 + i % 28,
                      8 + i % 10, i % 60);
        return out;
    }

private:
    std::mt19937_64 m_random;
};

void appendString(std::string &out, std::string_view key, std::string_view value)
{
    out += '"';
    out += key;
    out += "\":\"";
    out += value;
    out += '"';
}

} // namespace

std::string generateWorkspace(const WorkspaceShape &shape)
{
    Generator g(shape.seed);
    std::string out;
    out.reserve(shape.pages * shape.blocksPerPage * 160);
    out += R"({"schemaVersion":1,"name":"Mi espacio","activePageId":"","theme":"light","pages":[)";
    std::string parent;
    for (std::size_t i = 0; i < shape.pages; ++i) {
        const bool board = i % 10 == 3;
        const bool meeting = !board && i % 10 == 5;
        const std::string id = g.uuid();
        const std::string created = g.date(i);
        if (i)
            out += ',';
        out += '{';
        appendString(out, "id", id);
        out += ',';
        appendString(out, "title", std::string(g.pick(titles)) + " " + std::to_string(i));
        out += ',';
        appendString(out, "kind", board ? "board" : "document");
        out += meeting ? R"(,"meeting":true)" : "";
        out += R"(,"parentId":)";
        out += parent.empty() || i % 4 != 1 ? "null" : '"' + parent + '"';
        out += ',';
        appendString(out, "icon", meeting ? "🎙️" : board ? "📋" : "📄");
        out += R"(,"favorite":)";
        out += g.chance(5) ? "true" : "false";
        out += R"(,"trashed":false,"cover":"",)";
        appendString(out, "createdAt", created);
        out += ',';
        appendString(out, "updatedAt", created);
        out += R"(,"blocks":[)";
        for (std::size_t b = 0; b < (board ? 1 : shape.blocksPerPage); ++b) {
            if (b)
                out += ',';
            out += '{';
            appendString(out, "id", g.uuid());
            out += ',';
            appendString(out, "type", g.pick(types));
            out += ',';
            appendString(out, "text", g.pick(phrases));
            out += R"(,"checked":)";
            out += g.chance(30) ? "true" : "false";
            out += '}';
        }
        out += R"(],"cards":[)";
        for (std::size_t c = 0; board && c < shape.blocksPerPage; ++c) {
            if (c)
                out += ',';
            out += '{';
            appendString(out, "id", g.uuid());
            out += ',';
            appendString(out, "title", g.pick(phrases));
            out += ',';
            appendString(out, "status", g.pick(statuses));
            out += ',';
            appendString(out, "priority", g.pick(priorities));
            out += ',';
            appendString(out, "tag", g.chance(50) ? "diseño" : "");
            out += '}';
        }
        out += "]}";
        if (i % 4 == 0)
            parent = id;
    }
    out += "]}";
    return out;
}

} // namespace quorvale::bench
