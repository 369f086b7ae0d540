"""
Dictionary encodings of the digital IR nodes, registered with the kit's serializer registry when this module loads.
"""
