<?xml version="1.0"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="utf-8" indent="yes"/>
  <xsl:template match="/">
    <html>
      <body>
        <table>
          <xsl:for-each select="Records/Record">
            <tr id="{@id}">
              <td><xsl:value-of select="Type"/></td>
              <td><xsl:value-of select="Name"/></td>
              <td><xsl:value-of select="Price"/></td>
              <td><xsl:value-of select="Qty"/></td>
            </tr>
          </xsl:for-each>
        </table>
      </body>
    </html>
  </xsl:template>
</xsl:stylesheet>
