"""The language tables as the tools read them: the keys of src/base/text_ids.h and the string
tables of resources/lang/<tag>.rc, with the rules a table must keep.

A table file is a resource script with one LANGUAGE statement and one STRINGTABLE whose entries
are one a line, `TXT_<Key> "text"`, the text UTF-8 with the resource compiler's two escapes only:
"" for a double quote and \\ for a backslash.
"""

import os
import re

IDS_LINE = re.compile(r'\bX\((\w+),\s*(\d+)\)')
ENTRY_LINE = re.compile(r'^\s*TXT_(\w+)\s*,?\s*"((?:[^"]|"")*)"\s*$')
LANGUAGE_LINE = re.compile(r'^\s*LANGUAGE\s+(\w+)\s*,\s*(\w+)\s*$')
INCLUDE_LINE = re.compile(r'^\s*#include\s+"([^"]+)"\s*$')
# A printf conversion as the setup's formatter reads it: flags, width, precision, length, kind.
CONVERSION = re.compile(r'%([-+ #0]*)(\d*)(\.\d+)?(hh|h|ll|l|L|z|j|t|I64|I32)?([diouxXeEfgGcsSp%])')

LIST_FILE = 'languages.rc'
ENGLISH = 'en'


class TableError(Exception):
    pass


def read_ids(path):
    """[(key, number)] in the header's order."""
    with open(path, encoding='utf-8') as f:
        return [(m.group(1), int(m.group(2))) for m in IDS_LINE.finditer(f.read())]


def unescape(raw):
    out = []
    i = 0
    while i < len(raw):
        c = raw[i]
        if c == '"':
            out.append('"')  # the pattern only lets "" through
            i += 2
        elif c == '\\':
            if raw[i + 1:i + 2] != '\\':
                raise TableError('only \\\\ may follow a backslash (the resource compiler reads the others '
                                 'as escapes)')
            out.append('\\')
            i += 2
        else:
            out.append(c)
            i += 1
    return ''.join(out)


def escape(text):
    return text.replace('\\', '\\\\').replace('"', '""')


class Table:
    def __init__(self, path):
        self.path = path
        self.tag = os.path.splitext(os.path.basename(path))[0]
        self.language = None    # the LANGUAGE statement's two words
        self.texts = {}         # key -> text, in the file's order
        self.problems = []
        with open(path, encoding='utf-8') as f:
            lines = f.read().split('\n')
        seen_code_page = False
        for number, line in enumerate(lines, 1):
            where = f'{os.path.basename(path)}:{number}'
            stripped = line.strip()
            if stripped.startswith('#pragma') and 'code_page(65001)' in stripped:
                seen_code_page = True
            m = LANGUAGE_LINE.match(line)
            if m:
                if self.language is not None:
                    self.problems.append(f'{where}: a second LANGUAGE statement (one language a file)')
                self.language = (m.group(1), m.group(2))
                continue
            if 'TXT_' not in line:
                continue
            m = ENTRY_LINE.match(line)
            if not m:
                self.problems.append(f'{where}: not an entry of the form TXT_Key "text" on one line')
                continue
            key = m.group(1)
            try:
                text = unescape(m.group(2))
            except TableError as e:
                self.problems.append(f'{where}: {key}: {e}')
                continue
            if key in self.texts:
                self.problems.append(f'{where}: {key} is given twice')
            self.texts[key] = text
        if self.language is None:
            self.problems.append(f'{os.path.basename(path)}: no LANGUAGE statement')
        if not seen_code_page:
            self.problems.append(f'{os.path.basename(path)}: no "#pragma code_page(65001)" (the texts are UTF-8)')


def placeholders(text):
    """The conversions of a format text, in order (%% left out); a TableError for a stray %."""
    kinds = []
    i = 0
    while True:
        i = text.find('%', i)
        if i < 0:
            return kinds
        m = CONVERSION.match(text, i)
        if not m:
            raise TableError(f'a "%" that starts no conversion at "{text[i:i + 6]}" (write %% for a percent sign)')
        if m.group(5) != '%':
            kinds.append(m.group(0))
        i = m.end()


def table_files(lang_dir):
    return sorted(os.path.join(lang_dir, n) for n in os.listdir(lang_dir)
                  if n.endswith('.rc') and n != LIST_FILE)


def listed_files(lang_dir):
    path = os.path.join(lang_dir, LIST_FILE)
    if not os.path.exists(path):
        return None
    with open(path, encoding='utf-8') as f:
        return [m.group(1) for m in map(INCLUDE_LINE.match, f) if m and m.group(1).endswith('.rc')]


def check(ids_path, lang_dir, pseudo=None):
    """Every problem of the tables, one line each; empty when they are sound. pseudo, when given,
    is a function that makes a pseudo table's texts from English's: (english texts, tag) -> texts."""
    problems = []
    ids = read_ids(ids_path)
    keys = [k for k, _ in ids]
    numbers = {}
    for key, number in ids:
        if number in numbers:
            problems.append(f'text_ids.h: {key} and {numbers[number]} share the number {number}')
        numbers[number] = key
        if not 0 < number < 65536:
            problems.append(f'text_ids.h: {key} has {number}, outside a string table\'s 1 to 65535')
    if len(set(keys)) != len(keys):
        problems.append('text_ids.h: a key is listed twice')

    files = table_files(lang_dir)
    tables = [Table(p) for p in files]
    by_tag = {t.tag: t for t in tables}
    english = by_tag.get(ENGLISH)
    if english is None:
        return problems + [f'{lang_dir}: no {ENGLISH}.rc, the table every other one follows']

    listed = listed_files(lang_dir)
    if listed is None:
        problems.append(f'{lang_dir}: no {LIST_FILE} listing the tables the setup carries')
    else:
        for t in tables:
            if os.path.basename(t.path) not in listed:
                problems.append(f'{LIST_FILE}: does not include {os.path.basename(t.path)}')
        for name in listed:
            if not os.path.exists(os.path.join(lang_dir, name)):
                problems.append(f'{LIST_FILE}: includes {name}, which does not exist')

    english_kinds = {}
    for key in keys:
        if key not in english.texts:
            problems.append(f'{ENGLISH}.rc: no text for {key}')
            continue
        try:
            english_kinds[key] = placeholders(english.texts[key])
        except TableError as e:
            problems.append(f'{ENGLISH}.rc: {key}: {e}')
    for t in tables:
        name = os.path.basename(t.path)
        problems.extend(t.problems)
        for key in keys:
            if t is not english and key not in t.texts:
                problems.append(f'{name}: lacks {key}, which English has')
        for key, text in t.texts.items():
            if key not in keys:
                lacks = 'text_ids.h does not list' if t is english else 'English lacks'
                problems.append(f'{name}: has {key}, which {lacks}')
                continue
            if not text:
                problems.append(f'{name}: {key} is empty')
            if key not in english_kinds:
                if key not in english.texts:
                    problems.append(f'{name}: has {key}, which English lacks')
                continue
            want = english_kinds[key]
            # A text without placeholders is shown as it is, never formatted: a "%" in it would
            # show as typed in one place and vanish in another once someone formats it.
            if not want and '%' in text:
                problems.append(f'{name}: {key} has a "%" but no placeholder; such a text is shown as it is')
                continue
            if t is english:
                continue
            try:
                kinds = placeholders(text)
            except TableError as e:
                problems.append(f'{name}: {key}: {e}')
                continue
            if kinds != want:
                problems.append(f'{name}: {key} has the placeholders [{" ".join(kinds)}], English has '
                                f'[{" ".join(want)}] (the same, in the same order)')
        if t.texts.get('LanguageTag') not in (None, t.tag):
            problems.append(f'{name}: its LanguageTag is "{t.texts["LanguageTag"]}", not its file\'s name "{t.tag}"')

    languages = {}
    for t in tables:
        if t.language is None:
            continue
        if t.language in languages:
            problems.append(f'{os.path.basename(t.path)}: the same LANGUAGE {", ".join(t.language)} as '
                            f'{os.path.basename(languages[t.language].path)}')
        languages[t.language] = t

    if pseudo is not None:
        for t in tables:
            made = pseudo(english.texts, t.tag)
            if made is None:
                continue
            stale = [k for k in made if t.texts.get(k) != made[k]]
            if stale:
                problems.append(f'{os.path.basename(t.path)}: not what make_pseudo.py makes from en.rc '
                                f'({len(stale)} texts differ, the first {stale[0]}): run tools/texts/make_pseudo.py')
    return problems
