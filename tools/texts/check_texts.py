#!/usr/bin/env python3
"""Checks the language tables against English and the key list; prints every problem and exits 1
when there is one. What it checks:
  - every key of src/base/text_ids.h has an English text, and English has no other key;
  - every other table has exactly English's keys, none twice, none empty;
  - each text has English's placeholders (%ls, %d, %llu ...), of the same kinds in the same order,
    and a text whose English has none holds no "%";
  - each file has one LANGUAGE statement, unused by any other, and says it is UTF-8; its
    LanguageTag text is its file's name; languages.rc includes every table and nothing else;
  - qps-ploc.rc is what make_pseudo.py makes from the English of today.

    check_texts.py [--ids src/base/text_ids.h] [--lang-dir resources/lang] [--stamp FILE]
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lang_tables  # noqa: E402
import make_pseudo  # noqa: E402


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--ids', default=os.path.join(root, 'src', 'base', 'text_ids.h'))
    parser.add_argument('--lang-dir', default=os.path.join(root, 'resources', 'lang'))
    parser.add_argument('--stamp', help='written when the tables are sound (for the build)')
    args = parser.parse_args()
    problems = lang_tables.check(args.ids, args.lang_dir, make_pseudo.pseudo_texts)
    for p in problems:
        print(p, file=sys.stderr)
    if problems:
        print(f'{len(problems)} problem(s) in the language tables', file=sys.stderr)
        return 1
    tables = lang_tables.table_files(args.lang_dir)
    keys = len(lang_tables.read_ids(args.ids))
    print(f'{len(tables)} language tables, {keys} keys each: ' +
          ', '.join(os.path.splitext(os.path.basename(t))[0] for t in tables))
    if args.stamp:
        with open(args.stamp, 'w') as f:
            f.write('ok\n')
    return 0


if __name__ == '__main__':
    sys.exit(main())
