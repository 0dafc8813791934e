"""The tour in Python: the same library through the tarncl module."""
import sys

import tarncl

env = tarncl.clsTarnEnvironment()
print("== The environment from Python")
print("name       ", env.brName, env.brVersion)
print("unique id  ", env.brUniqueId())

print("\n== A dynamic array")
item = tarncl.clsTarnDynamicArray(["Smith", "12 High Street", ["555-0100", "555-0199"]])
print("built      ", item, f"({item.brLen()} characters)")
print("phone 2    ", item.brExtractStr(3, nVMC=2))
found, position = item.brLocateStr("555-0199", 0, vnAMC=3)
print("locate     ", found, "at value", position)
print("as lists   ", item.tolist())

try:
    with env.brOpenConnection("ODBC", "TarnDemo") as conn:
        print("\n== Items on the server")
        conn.brDeleteFile("PYCUST")
        with conn.brCreateFile("", "PYCUST", 7, 11) as customers:
            customers.brWrite(item, "100")
            customers.brWrite(tarncl.clsTarnDynamicArray(["Jones", "1 Low Road"]), "101")
            print("read 100   ", customers.brRead("100"))
            print("ids        ", sorted(customers.brSelect()))
            try:
                customers.brRead("999")
            except tarncl.TarnError as e:
                print("error      ", e.number, e.source, "-", e.description)
        conn.brDeleteFile("PYCUST")
except tarncl.TarnError as e:
    print("tour.py:", e.source, e.description, file=sys.stderr)
    sys.exit(1)
