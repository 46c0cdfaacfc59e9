"""Section 9: the comparison of section 8 at 1,000,000 x 128 on clustered
synthetic data, where no trick of a small or peculiar set helps. It takes
about an hour, so --quick leaves it out."""
import ann
from ann_data import DataSpec

MILLION = DataSpec("clustered", count=1_000_000)


def run_all(quick):
    if quick:
        return {"results": [], "note": "left out by --quick"}
    return ann.run_sets((MILLION,), quick)


def print_table(section):
    ann.print_section("9. graph indexes side by side, 1,000,000 x 128 clustered", section)
    if "note" in section:
        print(f"   {section['note']}")
