"""The main job: import the remote module and show what it offers."""
import qybridge4.cli.remote as remote

print(f"{remote.__name__}: {remote.__doc__}")
print(f"{len(remote.__all__)} public names:")
for name in remote.__all__:
    print(f"  {name}")
