<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- Test data: a German program translation with one text from each translation context.
     Rebuild the .qm with: lrelease voxtrail_de_DE.ts -->
<TS version="2.1" language="de_DE">
<context>
    <name>voxtrail</name>
    <message>
        <source>Loading ...</source>
        <translation>Lade ...</translation>
    </message>
    <message>
        <source>Ready</source>
        <translation>Bereit</translation>
    </message>
</context>
<context>
    <name>voxtrailClass</name>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Datei</translation>
    </message>
</context>
</TS>
