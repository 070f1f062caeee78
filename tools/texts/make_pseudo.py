#!/usr/bin/env python3
"""Writes resources/lang/qps-ploc.rc, the pseudo-language, from English: every letter that has an
accented twin takes it, every text grows by about 40 % (short ones by more, as Windows' own pseudo
locale does) and is bracketed, so that a text cut short, a word left unaccented (a string that
does not come from the tables) or a box too small shows at a glance. Placeholders stay as they are.

    make_pseudo.py [--lang-dir DIR]    rewrite DIR/qps-ploc.rc from DIR/en.rc
"""

import argparse
import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lang_tables  # noqa: E402

TAG = 'qps-ploc'
ACCENTS = str.maketrans('aeiouycnszAEIOUYCNSZ', 'åéíöüýçñšžÅÉÍÖÜÝÇÑŠŽ')
GROWTH = 0.4


def pseudo_text(text):
    out = []
    i = 0
    while i < len(text):
        m = lang_tables.CONVERSION.match(text, i) if text[i] == '%' else None
        if m:
            out.append(m.group(0))
            i = m.end()
        else:
            out.append(text[i].translate(ACCENTS))
            i += 1
    body = ''.join(out)
    # At least one group, so that even a one-word button shows its end.
    wanted = max(math.ceil(len(text) * (1 + GROWTH)), len(text) + 6)
    padded = body + ' !!!'
    while len(padded) + 2 < wanted:
        padded += ' !!!'
    return '[' + padded + ']'


def pseudo_texts(english, tag):
    """The pseudo table's texts made from English's, or None for a tag that is not the pseudo one."""
    if tag != TAG:
        return None
    made = {k: pseudo_text(v) for k, v in english.items()}
    made['LanguageTag'] = TAG
    return made


def render(english_table):
    lines = [
        '// The pseudo-language, made from en.rc by tools/texts/make_pseudo.py: do not edit, run it.',
        '#pragma code_page(65001)',
        '',
        '// qps-ploc is 0x0501: primary 0x101, sub 1.',
        'LANGUAGE 0x101, 0x01',
        'STRINGTABLE',
        'BEGIN',
    ]
    for key, text in pseudo_texts(english_table.texts, TAG).items():
        lines.append(f'  TXT_{key} "{lang_tables.escape(text)}"')
    lines += ['END', '']
    return '\n'.join(lines)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--lang-dir', default=os.path.join(here, '..', '..', 'resources', 'lang'))
    args = parser.parse_args()
    english = lang_tables.Table(os.path.join(args.lang_dir, 'en.rc'))
    if english.problems:
        sys.exit('\n'.join(english.problems))
    with open(os.path.join(args.lang_dir, TAG + '.rc'), 'w', encoding='utf-8', newline='\n') as f:
        f.write(render(english))


if __name__ == '__main__':
    main()
