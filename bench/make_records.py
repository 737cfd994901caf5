"""Writes an XML document of N records (default 100,000, about 10 MB) for the template benchmarks."""
import random
import sys

n = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
rnd = random.Random(14)
kinds = ["A", "B", "C", "D"]
with open(sys.argv[1], "w", encoding="ascii", newline="") as f:
    f.write("<Records>\n")
    for i in range(n):
        f.write('<Record id="%d"><Type>%s</Type><Name>Item number %d &amp; more</Name><Price>%d.%02d</Price>'
                '<Qty>%d</Qty></Record>\n'
                % (i, rnd.choice(kinds), i, rnd.randint(0, 999), rnd.randint(0, 99), rnd.randint(1, 50)))
    f.write("</Records>\n")
