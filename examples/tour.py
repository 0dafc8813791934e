"""The tour in Python: the same library through the tarncl package."""
import sys

import tarncl

env = tarncl.clsTarnEnvironment()
print("== The environment from Python")
print("name       ", env.brName, env.brVersion, f"(package {tarncl.__version__})")
print("unique id  ", env.brUniqueId())

print("\n== A dynamic array")
item = tarncl.clsTarnDynamicArray(["Smith", "12 High Street", ["555-0100", "555-0199"]])
print("built      ", item, f"({item.brLen()} characters, {len(item)} attributes)")
print("phone 2    ", item.brExtractStr(3, nVMC=2))
found, position = item.brLocateStr("555-0199", 0, vnAMC=3)
print("locate     ", found, "at value", position)
print("attribute 1", item[1], "- the last:", item[-1].split(tarncl.VM))
print("as lists   ", item.tolist())
for n, attribute in enumerate(item, start=1):
    print(f"  {n:03d}     ", attribute.replace(tarncl.VM, "]"))

try:
    with tarncl.connect("TarnDemo") as conn:
        print("\n== Items on the server")
        conn.brDeleteFile("PYCUST")
        with conn.brCreateFile("", "PYCUST", 7, 11) as customers:
            customers.brWrite(item, "100")
            # A str or nested lists stand for a dynamic array wherever one is taken.
            customers.brWrite(["Jones", "1 Low Road"], "101")
            print("read 100   ", customers.brRead("100"))
            print("ids        ", sorted(customers.brSelect()))
            try:
                customers.brRead("999")
            except tarncl.MissingItemError as e:
                print("error      ", e.number, "-", e)
        conn.brDeleteFile("PYCUST")
except tarncl.TarnError as e:
    print("tour.py:", e, file=sys.stderr)
    sys.exit(1)
