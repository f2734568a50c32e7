/* The installer's one custom action, run before the components are chosen. It checks the public
   properties SERVERADDRESS, PORT and CLIENTID given on the command line, refusing a value that the
   program would not read back as given, and then fills each one that was not given from the
   Parvolet.ini already installed, so that an upgrade keeps the settings. The old file is read
   with the program's own rules (the first [Network] section, names matched regardless of case,
   values trimmed, ";" and "=" belonging to the value), not with GetPrivateProfileString, whose
   rules differ (it strips quotation marks). No C run-time: only KERNEL32, USER32 and MSI. */
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#define LINE_CHARS 1022 /* what the program takes of a line at a time */
#define VALUE_CHARS 1024
#define FILE_BYTES 65536 /* of a longer file only this much is read: the settings stand near its top */

static void copy(char *to, const char *from, DWORD length)
{
    while (length--) *to++ = *from++;
}

static int is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* Trims [*begin, *end) of blanks at both ends. */
static void trim(const char **begin, const char **end)
{
    while (*begin < *end && is_blank(**begin)) ++*begin;
    while (*end > *begin && is_blank((*end)[-1])) --*end;
}

static const char *find(const char *begin, const char *end, char c)
{
    for (; begin < end; ++begin)
        if (*begin == c) return begin;
    return NULL;
}

/* Whether [begin, end) upper-cased equals name (already upper case), as the program compares. */
static int same_name(const char *begin, const char *end, const char *name)
{
    char buffer[LINE_CHARS + 1];
    DWORD length = (DWORD)(end - begin);
    if (length != (DWORD)lstrlenA(name)) return 0;
    copy(buffer, begin, length);
    CharUpperBuffA(buffer, length);
    while (length--)
        if (buffer[length] != name[length]) return 0;
    return 1;
}

/* The line's section name: from before its first ";", between the first "[" and the next "]"
   (or the end), trimmed. Empty when the line is no section header. */
static void section_name(const char *line, const char *end, const char **name, const char **name_end)
{
    const char *comment = find(line, end, ';');
    const char *open, *close;
    if (comment) end = comment;
    open = find(line, end, '[');
    *name = *name_end = end;
    if (!open) return;
    close = find(open + 1, end, ']');
    *name = open + 1;
    *name_end = close ? close : end;
    trim(name, name_end);
}

/* Whether KEY (upper case) has a line in the first [Network] section; its value goes to value. */
static int lookup(const char *text, DWORD size, const char *key, char *value)
{
    const char *p = text, *end = text + size;
    int in_section = 0;
    while (p < end) {
        const char *line = p, *line_end, *name, *name_end, *equals;
        DWORD taken = 0;
        while (p < end && *p != '\n' && taken < LINE_CHARS) { ++p; ++taken; }
        line_end = p;
        if (p < end && *p == '\n') ++p;
        if (find(line, line_end, '\0')) line_end = find(line, line_end, '\0');
        section_name(line, line_end, &name, &name_end);
        if (!in_section) {
            in_section = same_name(name, name_end, "NETWORK");
            continue;
        }
        if (name != name_end) return 0;
        equals = find(line, line_end, '=');
        if (!equals) continue;
        name = line;
        name_end = equals;
        trim(&name, &name_end);
        if (same_name(name, name_end, key)) {
            const char *v = equals + 1, *v_end = line_end;
            trim(&v, &v_end);
            copy(value, v, (DWORD)(v_end - v));
            value[v_end - v] = '\0';
            return 1;
        }
    }
    return 0;
}

/* The file in text mode: CR LF becomes LF and a byte 0x1A ends it. Returns its size, or 0. */
static DWORD read_text(const char *path, char *text)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD size = 0, i, out = 0;
    if (file == INVALID_HANDLE_VALUE) return 0;
    if (!ReadFile(file, text, FILE_BYTES, &size, NULL)) size = 0;
    CloseHandle(file);
    for (i = 0; i < size && text[i] != 0x1A; ++i) {
        if (text[i] == '\r' && i + 1 < size && text[i + 1] == '\n') continue;
        text[out++] = text[i];
    }
    return out;
}

static void report(MSIHANDLE install, const char *message)
{
    MSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringA(record, 0, message);
    MsiProcessMessage(install, (INSTALLMESSAGE)(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), record);
    MsiCloseHandle(record);
}

/* Appends text to buffer (of VALUE_CHARS * 2) without overflowing it. */
static void append(char *buffer, const char *text)
{
    int used = lstrlenA(buffer), room = VALUE_CHARS * 2 - 1 - used;
    int length = lstrlenA(text);
    if (length > room) length = room;
    copy(buffer + used, text, (DWORD)length);
    buffer[used + length] = '\0';
}

/* Appends text with its brackets escaped ([\[] and [\]]): the message is a formatted template,
   in which a value such as [::1] would otherwise be read as a property's name. */
static void append_literal(char *buffer, const char *text)
{
    char one[2] = {0, 0};
    for (; *text; ++text) {
        if (*text == '[') append(buffer, "[\\[]");
        else if (*text == ']') append(buffer, "[\\]]");
        else { one[0] = *text; append(buffer, one); }
    }
}

/* Whether the text, trimmed, is a decimal number within [low, high] (an optional minus sign first
   when low is negative). */
static int is_number(const char *text, LONGLONG low, LONGLONG high)
{
    const char *begin = text, *end = text + lstrlenA(text);
    LONGLONG number = 0;
    int negative = 0;
    trim(&begin, &end);
    if (begin < end && *begin == '-' && low < 0) { negative = 1; ++begin; }
    if (begin == end) return 0;
    for (; begin < end; ++begin) {
        if (*begin < '0' || *begin > '9') return 0;
        number = number * 10 + (*begin - '0');
        if (number > 4294967296LL) return 0;
    }
    if (negative) number = -number;
    return number >= low && number <= high;
}

/* Why the given value cannot go into the file, or NULL when it can. */
static const char *refusal(const char *property, const char *value)
{
    const char *p, *name, *name_end;
    for (p = value; *p; ++p)
        if ((unsigned char)*p < 0x20 && *p != '\t')
            return "holds a line break or another control character";
    section_name(value, value + lstrlenA(value), &name, &name_end);
    if (name != name_end)
        return "holds a bracketed name, so the program would read its line as a section header";
    if (lstrcmpA(property, "PORT") == 0 && !is_number(value, 1, 65535))
        return "is not a port number from 1 to 65535";
    if (lstrcmpA(property, "CLIENTID") == 0 && !is_number(value, -2147483647LL - 1, 2147483647LL))
        return "is not a whole number from -2147483648 to 2147483647";
    return NULL;
}

static const char *const properties[3] = {"SERVERADDRESS", "PORT", "CLIENTID"};
static const char *const keys[3] = {"SERVERADDRESS", "PORT", "CLIENTID"};

UINT __stdcall ReadSettings(MSIHANDLE install)
{
    static char text[FILE_BYTES];
    char value[VALUE_CHARS], path[MAX_PATH + 1], message[VALUE_CHARS * 2];
    DWORD length, size = 0;
    int i, given[3], refused = 0;

    for (i = 0; i < 3; ++i) {
        const char *why;
        length = sizeof value;
        if (MsiGetPropertyA(install, properties[i], value, &length) != ERROR_SUCCESS) {
            given[i] = 0; /* longer than any setting: refused below as such */
            message[0] = '\0';
            append(message, properties[i]);
            append(message, " is too long to be a setting of Parvolet.ini.");
            report(install, message);
            refused = 1;
            continue;
        }
        given[i] = value[0] != '\0';
        if (!given[i] || !(why = refusal(properties[i], value))) continue;
        message[0] = '\0';
        append(message, properties[i]);
        append(message, "=");
        append_literal(message, value);
        append(message, " cannot be written to Parvolet.ini: the value ");
        append(message, why);
        append(message, ".");
        report(install, message);
        refused = 1;
    }
    if (refused) return ERROR_INSTALL_FAILURE;

    length = sizeof path;
    if (MsiGetPropertyA(install, "ParvoletOldSettings", path, &length) == ERROR_SUCCESS && path[0])
        size = read_text(path, text);
    for (i = 0; i < 3 && size; ++i) {
        if (!given[i] && lookup(text, size, keys[i], value) && value[0])
            MsiSetPropertyA(install, properties[i], value);
    }
    return ERROR_SUCCESS;
}

BOOL WINAPI DllEntry(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance; (void)reason; (void)reserved;
    return TRUE;
}
